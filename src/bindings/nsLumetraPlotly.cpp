// lumetra.nsLumetraPlotly: the dashboard module. Its body grows with the dashboard; for
// now importing it gives an empty module from the shared library.
#include "module.hpp"

LUMETRA_MODULE(nsLumetraPlotly, m) { static_cast<void>(m); }
