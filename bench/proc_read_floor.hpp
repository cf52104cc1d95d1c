// One cycle of the floor program (proc_read_floor.cpp): reads the system
// files and the stat, status, io and cmdline files of every process below
// the open /proc folder `proc_dir`; returns the number of processes.
#pragma once

// Opens, reads and closes every file, each cycle.
long proc_read_floor_cycle(int proc_dir);

// Keeps the files of each process open from one cycle to the next and reads
// them with pread at offset 0; a file that cannot be read is closed and
// opened afresh once, and the files of processes no longer listed are
// closed. The same object serves cycle after cycle.
class KeptFloor {
public:
    KeptFloor();
    ~KeptFloor();
    KeptFloor(const KeptFloor&) = delete;
    KeptFloor& operator=(const KeptFloor&) = delete;
    long cycle(int proc_dir);

private:
    struct Files;
    Files* files_;
};
