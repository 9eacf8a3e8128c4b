/* The lockstep example with its controller in another process. This simulator makes a named
   clock, starts the controller (the command line it is given, with the clock's name and the path
   of the file that holds the pendulum added), and steps the world at 1 kHz for 60 s of the clock,
   each step settled as in one process. */
#include <inttypes.h>
#include <math.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <varnex/pacer.h>

extern char** environ;

struct pendulum {           /* the shared file */
    double angle_rad;       /* from upright */
    double velocity_rad_s;
    double push_rad_s2;     /* the controller's output */
    int64_t control_ticks;  /* counted by the controller */
};

/* Runs the simulation; VARNEX_OK once the controller was back at every step. */
static int simulate(varnex_sim_clock* clock, struct pendulum* pendulum, uint64_t* hash)
{
    for (int64_t index = 0; index < 60000; ++index) {
        const double acceleration = sin(pendulum->angle_rad) * 9.81 / 0.5 + pendulum->push_rad_s2;
        double velocity = pendulum->velocity_rad_s + acceleration * 0.001;
        if (index % 10000 == 5000) velocity += 1.0; /* a knock every 10 s */
        pendulum->velocity_rad_s = velocity;
        pendulum->angle_rad = pendulum->angle_rad + velocity * 0.001;
        /* The clock moves on 1 ms; the advance returns once the controller, if due, is back. */
        int status = varnex_sim_clock_advance(clock, (index + 1) * 1000000, 10000000000);
        if (status != VARNEX_OK) {
            fprintf(stderr, "step %" PRId64 ": %s\n", index, varnex_strerror(status));
            return status;
        }
        if ((index + 1) % 20 == 0) { /* FNV-1a over the bits of the angle, every 20 ms */
            unsigned char bytes[sizeof(double)];
            memcpy(bytes, &pendulum->angle_rad, sizeof bytes);
            for (size_t i = 0; i < sizeof bytes; ++i) *hash = (*hash ^ bytes[i]) * 1099511628211u;
        }
    }
    return VARNEX_OK;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s CONTROLLER [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    varnex_sim_clock_config clock_config = {.size = sizeof clock_config};
    snprintf(clock_config.name, sizeof clock_config.name, "lockstep-%ld", (long)getpid());
    varnex_sim_clock* clock = NULL;
    char path[] = "/tmp/lockstep-XXXXXX";
    int file = mkstemp(path);
    struct pendulum* pendulum = MAP_FAILED;
    if (file >= 0 && ftruncate(file, sizeof *pendulum) == 0)
        pendulum = mmap(NULL, sizeof *pendulum, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (pendulum == MAP_FAILED || varnex_sim_clock_create(&clock_config, &clock) != VARNEX_OK) return 1;
    *pendulum = (struct pendulum){.angle_rad = 0.2};

    /* The controller writes "ready" to its standard output once its pacer is on the clock. */
    char** command = calloc((size_t)argc + 2, sizeof *command);
    memcpy(command, argv + 1, (size_t)(argc - 1) * sizeof *command);
    command[argc - 1] = clock_config.name;
    command[argc] = path;
    int ready[2];
    posix_spawn_file_actions_t actions;
    pid_t controller = -1;
    char word[6] = {0};
    int status = VARNEX_E_NOT_FOUND;
    if (pipe(ready) == 0 && posix_spawn_file_actions_init(&actions) == 0 &&
        posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO) == 0 &&
        posix_spawnp(&controller, command[0], &actions, NULL, command, environ) == 0) {
        close(ready[1]);
        if (read(ready[0], word, 5) == 5 && strcmp(word, "ready") == 0) status = VARNEX_OK;
    }
    uint64_t hash = 14695981039346656037u;
    if (status == VARNEX_OK) status = simulate(clock, pendulum, &hash);
    const int64_t control_ticks = pendulum->control_ticks;
    varnex_sim_clock_destroy(clock); /* the controller's wait ends with VARNEX_E_CLOCK_GONE */
    int controller_status = -1;
    if (controller > 0) waitpid(controller, &controller_status, 0);
    unlink(path);
    if (status != VARNEX_OK || controller_status != 0) {
        fprintf(stderr, "the controller %s, and exited with %d\n",
                strcmp(word, "ready") == 0 ? "was not back" : "did not start", controller_status);
        return 1;
    }
    printf("two processes: 60000 steps, %" PRId64 " control ticks in the controller's process, "
           "trace hash %016" PRIx64 "\n", control_ticks, hash);
    return 0;
}
