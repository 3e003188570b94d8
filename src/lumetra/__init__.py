from lumetra.bootstrap import bootstrap_submodules
bootstrap_submodules()
