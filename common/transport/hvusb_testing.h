// Test seam of the hvusb kernel-driver back end: the directory in which the driver's nodes
// "halvorine.%08X" are looked for ("/dev" unless changed). Tests point it at a directory of their
// own holding, for instance, a link to a pty; nothing else changes it. Set it before any USB
// stream is made; any thread may call it.
#pragma once

// Null or "" restores "/dev".
void hvusb_set_node_directory(const char* directory);
