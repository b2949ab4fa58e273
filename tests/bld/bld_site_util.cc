// The shared site fixture of the end-to-end tests, built into this folder's tests.
#include "../e2e/e2e_util.cc"
#include "../e2e/site_util.cc"
