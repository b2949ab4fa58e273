// Start-up of a program that uses the platform.
#pragma once

// Prepares the process: standard input, output and error are made open (on /dev/null when one
// was closed), so that no file the program opens later takes their place.
void ks_system_init();
