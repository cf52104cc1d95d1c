// One cycle of the floor program (proc_read_floor.cpp): opens and reads the
// system files and the stat, status, io and cmdline files of every process
// below the open /proc folder `proc_dir`; returns the number of processes.
#pragma once

long proc_read_floor_cycle(int proc_dir);
