# System default makefile of the sun dialect, read after sunbuiltin.mk when the current
# directory has no default.mk and the system has none of its own. The rules and variables live
# in sunbuiltin.mk and sunvars.mk; a site may add its own defaults here.
