// What the storage assessment's judgement shares with the free-space wipe, which refuses the same
// kinds of file system that the assessment cannot vouch for.
#ifndef KELVARIN_SHRED_SHRED_ASSESS_H
#define KELVARIN_SHRED_SHRED_ASSESS_H

#include "platform/platform.h"

// The data lives on another machine (a network or user-space file system).
bool shred_storage_is_network(const os_storage& storage);

// The file system keeps its data in memory only.
bool shred_storage_is_memory(const os_storage& storage);

#endif  // KELVARIN_SHRED_SHRED_ASSESS_H
