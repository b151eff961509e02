// Fault injection for tests: every file and registry call of the emulated platform passes one
// counter, and a test can make the Nth call fail. Not available in the Windows build.
#ifndef VNAUDIO_FAULT_H
#define VNAUDIO_FAULT_H

enum fault_kind {
    FAULT_FAIL,        // the Nth call fails (errno EIO; a registry call answers an error code)
    FAULT_SHORT_WRITE, // if the Nth call is a write, part of the data reaches the file, then ENOSPC
    FAULT_DISK_FULL,   // the Nth call and every later write fail with ENOSPC
};

// Arms the fault for call number nth (counted from 1 since the last arm); 0 disarms.
void fault_arm(long nth, fault_kind kind);
// Calls counted since the last arm, and whether the armed fault has fired.
long fault_calls();
int fault_fired();
// Every backend call asks here first; answers 0 to go on, or the errno value to fail with.
// is_write tells the disk-full and short-write kinds which calls they concern.
int fault_check(int is_write);

#endif
