# Site settings for linking C++ programs, read by a makefile line that
# expands the exported variable naming this file ($(ORVA_CXX_SAFE_LNK)). The toolset
# needs none: the file is shipped empty, for a site to add its definitions. Write only plain
# "NAME = value" definitions here, which every makefile dialect reads the same way.
