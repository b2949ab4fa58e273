// Workspace (copy-based) views. Every view here is dynamic, so a program that would use
// workspaces never meets one.
#pragma once

// Allows (non-zero) or forbids (0) workspace views for this process. Nothing changes here.
void ws_enable_workspaces(int enable);
