"""The lockstep example's controller, in a process of its own: at each 250 Hz tick of the
simulator's named clock it reads the pendulum and sets its push. examples/c/lockstep_processes.c
starts it with the clock's name and the path of the file that holds the pendulum."""
import mmap
import struct
import sys

import varnex


def control(angle_rad, velocity_rad_s):
    """A PD law on the angle, the same as in one process."""
    return -60.0 * angle_rad - 10.0 * velocity_rad_s


name, path = sys.argv[-2:]
with varnex.SimClock.open(name) as clock, open(path, "r+b") as file, \
        mmap.mmap(file.fileno(), 32) as pendulum, varnex.Pacer(250, clock=clock) as pacer:
    print("ready", flush=True)                            # the simulator may start stepping
    try:
        for tick in pacer:                                # due at the clock's every 4 ms
            angle_rad, velocity_rad_s = struct.unpack_from("=dd", pendulum, 0)
            struct.pack_into("=dq", pendulum, 16, control(angle_rad, velocity_rad_s), tick.index + 1)
    except varnex.ClockGone:                              # the simulator ended, and its clock
        pass
