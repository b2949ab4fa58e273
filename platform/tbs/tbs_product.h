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

// The product's installation directory: $VESSARY_PRODUCT_HOME when set, else the directory
// above the one that holds this library (the build tree or the installed prefix).
std::string tbs_product_home();

// The product's configuration directory ("<home>/etc"), where shared makefiles live.
const char *tbs_product_etc_dir();

// The configuration directory of one of the product's programs ("<home>/etc/<name>").
const char *tbs_product_config_dir(const char *name);

// The directory of the product's servers and starters ("<home>/bin").
const char *tbs_product_server_dir();

// The pathname of the product tool name ("<home>/bin/<name>") copied into buf (1024 bytes);
// returns buf, or null when no executable of that name is there.
char *tbs_product_tool_dir(char *buf, const char *name);
