#ifndef VARNEX_TICK_WORKER_H
#define VARNEX_TICK_WORKER_H

// As the library unloads: a worker still running ends within microseconds.
// The platform then waits until it has left the library's code.
void stop_worker_at_unload();

#endif
