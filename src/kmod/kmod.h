// The kernel module behind the kernel boundary: brought up at start-up, removed at shut-down.
#pragma once

// Start-up: with kernel_mode "emulated" or "userspace" starts the stand-in; with "module"
// uses a module already loaded. 0 or -1 (logged, naming what is missing).
int kmod_load();
void kmod_unload();
