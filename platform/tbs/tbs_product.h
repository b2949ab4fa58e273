// Where the product and the site live: the product's own directories (programs, configuration)
// and the site directory that holds the registry and the view root.
#pragma once

#include <string>

// The site directory: $VESSARY_HOME (made absolute against the working directory), else
// "$HOME/.vessary". Empty when neither can be found.
// Read anew on every call, so that a process (or a test) may change the variable.
std::string tbs_site_dir();

// The site's registry of VOB and view tags: "<site>/registry.db".
std::string tbs_registry_pname();

// The view root, the prefix of every view-extended pathname: "<site>/view". The text stays
// valid until the next call in the same thread.
const char *tbs_view_root();

// The product's installation directory: the first of $ZELVANEHOME, $VOSSELHOME and
// $VESSARY_PRODUCT_HOME that is set and not empty, else the prefix this library was installed
// under ("<prefix>/lib/libvosseltbs.so" or "<prefix>/lib/<multiarch>/libvosseltbs.so"), which
// in the build tree is the build directory. Never fails ("." when nothing is known).
std::string tbs_product_home();

// The prefix this library was installed under, as tbs_product_home finds it when no variable is
// set: where the product's own files that go with the running code are.
std::string tbs_product_loaded_home();

// The product's configuration directory, where the builtin makefiles live: "<home>/etc"; when
// the home is a CMake build tree without an "etc" directory, the "config" folder of its source
// tree, so that programs run from the build tree without being installed. The text stays valid
// until the next call in the same thread.
const char *tbs_product_etc_dir();

// The configuration directory of one of the product's programs ("<etc dir>/<name>").
const char *tbs_product_config_dir(const char *name);

// The directory of the product's servers and starters ("<home>/bin").
const char *tbs_product_server_dir();

// The pathname of the product tool name ("<home>/bin/<name>") copied into buf (1024 bytes);
// returns buf, or null when no executable of that name is there.
char *tbs_product_tool_dir(char *buf, const char *name);
