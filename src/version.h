// The one place that says which version this is. The code, the tooltip, the
// window caption and the version resource all take their numbers from here.
#ifndef VELMORA_VERSION_H
#define VELMORA_VERSION_H

#define VELMORA_VERSION_MAJOR 1
#define VELMORA_VERSION_MINOR 0

// Resource compilers do not join adjacent string literals reliably, so the
// texts are spelled out whole. The executable check (tests/exe/check_exe.py)
// compares the built version resource's strings and numbers with what they
// must read, and the unit test of the icon record does the same for the tooltip.
#define VELMORA_APP_NAME "Velmora"
#define VELMORA_VERSION_TEXT "1.0"        // caption and tooltip
#define VELMORA_FILE_VERSION_TEXT "1.00"  // FileVersion and ProductVersion
#define VELMORA_AUTHOR "Quillan"

#endif
