// Client metering: named regions of a program's run whose time a site may collect. Metering is
// not collected here; the calls keep their contracts so that programs meter as they would.
#pragma once

// A metering region; null is none.
typedef struct client_meters_region_s *client_meters_region_t;

// Starts metering the program name with its arguments; flags is not used. 0 (metering never
// fails here).
int client_meters_start_program(const char *name, int argc, char **argv, int flags);

// A region named name, made once per name and process; null for a null name.
client_meters_region_t client_meters_create_region(const char *name);

// Enters the region (null is ignored). Entering an entered region counts once more.
void client_meters_enter_region(client_meters_region_t region);

// Leaves the region once; a region that was not entered is left alone.
void client_meters_exit_region(client_meters_region_t region);

// Leaves the region when it is entered, however often; null and unentered regions are ignored.
void client_meters_require_exit_region(client_meters_region_t region);

// 1 while the region is entered, else 0.
int client_meters_region_entered(client_meters_region_t region);

// Ends the program's metering.
void client_meters_finish_program();
