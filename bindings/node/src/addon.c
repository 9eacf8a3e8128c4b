/* The pacer's C interface for the JavaScript layer (lib/index.js), which
 * checks its arguments and turns statuses into errors. Context-aware: each
 * environment (the main thread, each worker) keeps its loop in instance data,
 * and a pacer or a simulated clock is used only by the environment that made
 * it. Linux only: the loop watches the readiness handle, a descriptor, with
 * uv_poll. */
#include <errno.h>
#include <poll.h>
#include <stdbool.h>
#include <stdlib.h>

#include <node_api.h>
#include <uv.h>

#include "varnex/pacer.h"

struct addon {
    uv_loop_t* loop;
#ifdef VARNEX_NODE_TEST_HOOKS
    int injected_poll_status;   /* failNextPoll's, for the next poll callback; 0 for none */
#endif
};

/* Apart from the pacer: a closed watcher's memory must last until libuv's
 * close callback, which may come after the pacer's object is collected. */
struct watcher {
    uv_poll_t poll;
    napi_async_cleanup_hook_handle cleanup;
    bool closing;
};

struct node_pacer {
    varnex_pacer* pacer;        /* null once closed */
    napi_env env;
    uv_loop_t* loop;
    struct watcher* watcher;    /* from the first wait() on */
    /* While a wait() is pending: its callback, the pacer's own object (kept
     * from the collector until the wait settles) and its async context. */
    napi_ref callback;
    napi_ref self;
    napi_async_context async_context;
    varnex_tick tick;
};

/* A simulated clock. An advance that settles runs in libuv's thread pool, so
 * that the pacers on this loop can come back meanwhile; the clock is
 * destroyed only once no advance is in progress. */
struct node_clock {
    varnex_sim_clock* clock;    /* null once destroyed */
    unsigned advances;          /* advances in the thread pool */
    bool closed;                /* by close(): destroyed as the last advance ends */
};

static napi_value fail(napi_env env, const char* what)
{
    napi_throw_type_error(env, NULL, what);
    return NULL;
}

static bool arguments(napi_env env, napi_callback_info info, size_t count, napi_value* values)
{
    size_t given = count;
    if (napi_get_cb_info(env, info, &given, values, NULL, NULL) != napi_ok || given < count) {
        fail(env, "varnex addon: too few arguments");
        return false;
    }
    return true;
}

static napi_value number(napi_env env, double value)
{
    napi_value result = NULL;
    napi_create_double(env, value, &result);
    return result;
}

static napi_value status_value(napi_env env, int status)
{
    napi_value result = NULL;
    napi_create_int32(env, status, &result);
    return result;
}

static void set(napi_env env, napi_value object, const char* name, napi_value value)
{
    napi_set_named_property(env, object, name, value);
}

static void set_int64(napi_env env, napi_value object, const char* name, int64_t value)
{
    napi_value result;
    napi_create_bigint_int64(env, value, &result);
    set(env, object, name, result);
}

static void set_uint64(napi_env env, napi_value object, const char* name, uint64_t value)
{
    napi_value result;
    napi_create_bigint_uint64(env, value, &result);
    set(env, object, name, result);
}

static bool get_uint32(napi_env env, napi_value value, uint32_t* out)
{
    if (napi_get_value_uint32(env, value, out) != napi_ok) {
        fail(env, "varnex addon: expected a number");
        return false;
    }
    return true;
}

/* Leaves *out as it is for undefined: the library's default stays. */
static bool get_optional_uint32(napi_env env, napi_value value, uint32_t* out)
{
    napi_valuetype type;
    napi_typeof(env, value, &type);
    return type == napi_undefined || get_uint32(env, value, out);
}

static bool get_bigint(napi_env env, napi_value value, int64_t* out)
{
    bool lossless;
    if (napi_get_value_bigint_int64(env, value, out, &lossless) != napi_ok || !lossless) {
        fail(env, "varnex addon: expected a BigInt within 64 bits");
        return false;
    }
    return true;
}

static struct node_pacer* pacer_of(napi_env env, napi_value value)
{
    void* data = NULL;
    if (napi_get_value_external(env, value, &data) != napi_ok || data == NULL) {
        fail(env, "varnex addon: not a pacer");
        return NULL;
    }
    struct node_pacer* pacer = data;
    if (pacer->pacer == NULL) {
        fail(env, "varnex addon: the pacer is closed");
        return NULL;
    }
    return pacer;
}

static struct node_clock* clock_of(napi_env env, napi_value value)
{
    void* data = NULL;
    if (napi_get_value_external(env, value, &data) != napi_ok || data == NULL) {
        fail(env, "varnex addon: not a clock");
        return NULL;
    }
    struct node_clock* clock = data;
    if (clock->closed) {
        fail(env, "varnex addon: the clock is closed");
        return NULL;
    }
    return clock;
}

static void watcher_closed(uv_handle_t* handle)
{
    struct watcher* watcher = (struct watcher*)handle;
    napi_remove_async_cleanup_hook(watcher->cleanup);
    free(watcher);
}

/* uv_close takes the descriptor out of the loop's epoll set at once (the
 * memory goes in the callback), so that the pacer may be destroyed, and its
 * descriptor closed, right after. */
static void close_watcher(struct watcher* watcher)
{
    if (watcher->closing) {
        return;
    }
    watcher->closing = true;
    watcher->poll.data = NULL;
    uv_close((uv_handle_t*)&watcher->poll, watcher_closed);
}

/* An environment ending (a worker terminated while its wait was pending):
 * its loop must have no handle left when Node closes it. */
static void environment_ending(napi_async_cleanup_hook_handle hook, void* data)
{
    (void)hook;
    struct watcher* watcher = data;
    struct node_pacer* pacer = watcher->poll.data;
    if (pacer != NULL) {
        pacer->watcher = NULL;
    }
    close_watcher(watcher);
}

/* Forgets the pending wait without settling it. */
static void release_wait(struct node_pacer* pacer)
{
    if (pacer->callback == NULL) {
        return;
    }
    napi_delete_reference(pacer->env, pacer->callback);
    napi_delete_reference(pacer->env, pacer->self);
    napi_async_destroy(pacer->env, pacer->async_context);
    pacer->callback = NULL;
    pacer->self = NULL;
    pacer->async_context = NULL;
}

static void close_pacer(struct node_pacer* pacer)
{
    if (pacer->watcher != NULL) {
        close_watcher(pacer->watcher);
        pacer->watcher = NULL;
    }
    varnex_pacer_destroy(pacer->pacer);
    pacer->pacer = NULL;
}

static void pacer_collected(napi_env env, void* data, void* hint)
{
    (void)env;
    (void)hint;
    struct node_pacer* pacer = data;
    /* A pending wait holds the pacer's object: only the environment's end
     * finalizes it then, and the environment's references go with it. */
    if (pacer->pacer != NULL) {
        close_pacer(pacer);
    }
    free(pacer);
}

static napi_value tick_value(napi_env env, const varnex_tick* tick)
{
    napi_value object;
    napi_create_object(env, &object);
    set_uint64(env, object, "index", tick->index);
    set_uint64(env, object, "missed", tick->missed);
    set_int64(env, object, "latenessNs", tick->lateness_ns);
    set_int64(env, object, "intervalNs", tick->interval_ns);
    set(env, object, "lateness", number(env, tick->lateness_s));
    set(env, object, "interval", number(env, tick->interval_s));
    set(env, object, "cause", number(env, tick->cause));
    return object;
}

/* create(mode, missed, rateNum, rateDen, rateHz, phaseNs, burstCap, flags, marginNs, clock):
 * the pacer's external, or a status. An undefined burstCap keeps the default;
 * an undefined clock puts the grid on the counter. */
static napi_value create(napi_env env, napi_callback_info info)
{
    napi_value argv[10];
    if (!arguments(env, info, 10, argv)) {
        return NULL;
    }
    napi_valuetype clock_type;
    napi_typeof(env, argv[9], &clock_type);
    struct node_clock* clock = NULL;
    if (clock_type != napi_undefined && (clock = clock_of(env, argv[9])) == NULL) {
        return NULL;
    }
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    int64_t phase_ns;
    if (!get_uint32(env, argv[0], &config.mode) || !get_uint32(env, argv[1], &config.missed) ||
        !get_uint32(env, argv[2], &config.rate_num) || !get_uint32(env, argv[3], &config.rate_den) ||
        napi_get_value_double(env, argv[4], &config.rate_hz) != napi_ok || !get_bigint(env, argv[5], &phase_ns) ||
        !get_optional_uint32(env, argv[6], &config.burst_cap) || !get_uint32(env, argv[7], &config.flags) ||
        !get_uint32(env, argv[8], &config.margin_ns)) {
        return NULL;
    }
    config.phase_ns = phase_ns;
    struct addon* addon;
    napi_get_instance_data(env, (void**)&addon);
    struct node_pacer* pacer = calloc(1, sizeof *pacer);
    if (pacer == NULL) {
        return status_value(env, VARNEX_E_NO_MEMORY);
    }
    int status = clock == NULL ? varnex_pacer_create(&config, &pacer->pacer)
                               : varnex_pacer_create_on(&config, clock->clock, &pacer->pacer);
    if (status != VARNEX_OK) {
        free(pacer);
        return status_value(env, status);
    }
    pacer->env = env;
    pacer->loop = addon->loop;
    pacer->tick.size = sizeof pacer->tick;
    napi_value external;
    if (napi_create_external(env, pacer, pacer_collected, NULL, &external) != napi_ok) {
        varnex_pacer_destroy(pacer->pacer);
        free(pacer);
        return NULL;
    }
    return external;
}

static int ready_descriptor(struct node_pacer* pacer, int* descriptor)
{
    intptr_t handle;
    int status = varnex_pacer_wait_handle(pacer->pacer, &handle);
    *descriptor = (int)handle;
    return status;
}

/* waitSync(pacer): the tick, or a status. Once an asynchronous wait has
 * taken the readiness handle out, the wait no longer sleeps: it is told
 * NOT_DUE, and this thread sleeps on the handle instead. */
static napi_value wait_sync(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    struct node_pacer* pacer;
    if (!arguments(env, info, 1, argv) || (pacer = pacer_of(env, argv[0])) == NULL) {
        return NULL;
    }
    int status;
    while ((status = varnex_pacer_wait(pacer->pacer, &pacer->tick)) == VARNEX_E_NOT_DUE) {
        int descriptor;
        status = ready_descriptor(pacer, &descriptor);
        if (status != VARNEX_OK) {
            return status_value(env, status);
        }
        struct pollfd ready = {.fd = descriptor, .events = POLLIN};
        while (poll(&ready, 1, -1) < 0 && errno == EINTR) {
        }
    }
    return status == VARNEX_OK ? tick_value(env, &pacer->tick) : status_value(env, status);
}

/* Calls the wait's callback with (status, tick) once the wait has returned,
 * or with libuv's error name and text when the loop could not watch the
 * readiness handle (poll_status < 0). */
static void settle(struct node_pacer* pacer, int status, int poll_status)
{
    napi_env env = pacer->env;
    napi_handle_scope scope;
    napi_open_handle_scope(env, &scope);
    napi_value callback, receiver, argv[2], ignored;
    napi_get_reference_value(env, pacer->callback, &callback);
    napi_get_global(env, &receiver);
    if (poll_status < 0) {
        napi_create_string_utf8(env, uv_err_name(poll_status), NAPI_AUTO_LENGTH, &argv[0]);
        napi_create_string_utf8(env, uv_strerror(poll_status), NAPI_AUTO_LENGTH, &argv[1]);
    } else if (status == VARNEX_OK) {
        argv[0] = status_value(env, status);
        argv[1] = tick_value(env, &pacer->tick);
    } else {
        argv[0] = status_value(env, status);
        napi_get_undefined(env, &argv[1]);
    }
    /* Released before the call, which may start the next wait; the pacer's
     * object stays held until the call has returned. */
    napi_async_context context = pacer->async_context;
    napi_ref self = pacer->self;
    napi_delete_reference(env, pacer->callback);
    pacer->callback = NULL;
    pacer->self = NULL;
    pacer->async_context = NULL;
    napi_make_callback(env, context, receiver, callback, 2, argv, &ignored);
    napi_async_destroy(env, context);
    napi_delete_reference(env, self);
    napi_close_handle_scope(env, scope);
}

#ifdef VARNEX_NODE_TEST_HOOKS
/* A timerfd never makes libuv report an error, so the tests inject one. */
static int injected_poll_status(napi_env env, int poll_status)
{
    struct addon* addon;
    napi_get_instance_data(env, (void**)&addon);
    if (addon->injected_poll_status != 0) {
        poll_status = addon->injected_poll_status;
        addon->injected_poll_status = 0;
    }
    return poll_status;
}
#endif

static void readable(uv_poll_t* poll, int poll_status, int events)
{
    (void)events;
    struct node_pacer* pacer = poll->data;
    if (pacer == NULL || pacer->callback == NULL) {
        return;
    }
#ifdef VARNEX_NODE_TEST_HOOKS
    poll_status = injected_poll_status(pacer->env, poll_status);
#endif
    /* libuv reports an error (POLLERR: UV_EBADF) once, having stopped the
     * watcher: the wait fails, or it would never settle. */
    if (poll_status < 0) {
        uv_poll_stop(poll);
        settle(pacer, VARNEX_OK, poll_status);
        return;
    }
    int status = varnex_pacer_wait(pacer->pacer, &pacer->tick);
    if (status == VARNEX_E_NOT_DUE || status == VARNEX_E_INTERRUPTED) {
        return;
    }
    uv_poll_stop(poll);
    settle(pacer, status, 0);
}

/* waitStart(pacer, callback): the tick if the wait returns one at once, or
 * the status it fails with; else (OK) the loop watches the readiness handle,
 * and the callback gets what settle() gives. */
static napi_value wait_start(napi_env env, napi_callback_info info)
{
    napi_value argv[2];
    struct node_pacer* pacer;
    if (!arguments(env, info, 2, argv) || (pacer = pacer_of(env, argv[0])) == NULL) {
        return NULL;
    }
    if (pacer->callback != NULL) {
        return fail(env, "varnex addon: a wait is pending");
    }
    int descriptor;
    int status = ready_descriptor(pacer, &descriptor);
    if (status != VARNEX_OK) {
        return status_value(env, status);
    }
    /* The wait before the watch: a pacer on a simulated clock is back, for a
     * settle and for auto-advance, only once its wait has said NOT_DUE; until
     * then the clock holds still, and the handle would never be ready. */
    status = varnex_pacer_wait(pacer->pacer, &pacer->tick);
    if (status == VARNEX_OK) {
        return tick_value(env, &pacer->tick);
    }
    if (status != VARNEX_E_NOT_DUE && status != VARNEX_E_INTERRUPTED) {
        return status_value(env, status);
    }
    if (pacer->watcher == NULL) {
        struct watcher* watcher = calloc(1, sizeof *watcher);
        if (watcher == NULL) {
            return status_value(env, VARNEX_E_NO_MEMORY);
        }
        int error = uv_poll_init(pacer->loop, &watcher->poll, descriptor);
        if (error != 0) {
            free(watcher);
            napi_throw_error(env, NULL, uv_strerror(error));
            return NULL;
        }
        napi_add_async_cleanup_hook(env, environment_ending, watcher, &watcher->cleanup);
        pacer->watcher = watcher;
    }
    pacer->watcher->poll.data = pacer;
    int error = uv_poll_start(&pacer->watcher->poll, UV_READABLE, readable);
    if (error != 0) {
        napi_throw_error(env, NULL, uv_strerror(error));
        return NULL;
    }
    napi_value name;
    napi_create_string_utf8(env, "varnex.wait", NAPI_AUTO_LENGTH, &name);
    napi_async_init(env, NULL, name, &pacer->async_context);
    napi_create_reference(env, argv[1], 1, &pacer->callback);
    napi_create_reference(env, argv[0], 1, &pacer->self);
    return status_value(env, VARNEX_OK);
}

/* close(pacer): forgets a pending wait (the JavaScript layer rejects it),
 * takes the handle out of the loop, then destroys the pacer. */
static napi_value close_function(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    struct node_pacer* pacer;
    if (!arguments(env, info, 1, argv) || (pacer = pacer_of(env, argv[0])) == NULL) {
        return NULL;
    }
    release_wait(pacer);
    close_pacer(pacer);
    return NULL;
}

static napi_value cancel(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    struct node_pacer* pacer;
    if (!arguments(env, info, 1, argv) || (pacer = pacer_of(env, argv[0])) == NULL) {
        return NULL;
    }
    return status_value(env, varnex_pacer_cancel(pacer->pacer));
}

/* stats(pacer): the fields of varnex_pacer_stats by their C names, 64-bit
 * ones as BigInt; or a status. */
static napi_value stats(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    struct node_pacer* pacer;
    if (!arguments(env, info, 1, argv) || (pacer = pacer_of(env, argv[0])) == NULL) {
        return NULL;
    }
    varnex_pacer_stats raw = {.size = sizeof raw};
    int status = varnex_pacer_get_stats(pacer->pacer, &raw);
    if (status != VARNEX_OK) {
        return status_value(env, status);
    }
    napi_value object;
    napi_create_object(env, &object);
    set_uint64(env, object, "ticks", raw.ticks);
    set_uint64(env, object, "missed", raw.missed);
    set_int64(env, object, "lateness_p50_ns", raw.lateness_p50_ns);
    set_int64(env, object, "lateness_p99_ns", raw.lateness_p99_ns);
    set_int64(env, object, "lateness_p999_ns", raw.lateness_p999_ns);
    set_int64(env, object, "lateness_max_ns", raw.lateness_max_ns);
    set_int64(env, object, "drift_ns", raw.drift_ns);
    set_int64(env, object, "spin_ns", raw.spin_ns);
    set_int64(env, object, "sleep_ns", raw.sleep_ns);
    set_int64(env, object, "cpu_ns", raw.cpu_ns);
    set_int64(env, object, "margin_ns", raw.margin_ns);
    set(env, object, "controls_active", number(env, raw.controls_active));
    set(env, object, "controls_denied", number(env, raw.controls_denied));
    set(env, object, "controls_unsupported", number(env, raw.controls_unsupported));
    set(env, object, "clock_steps", number(env, raw.clock_steps));
    set_int64(env, object, "clock_step_ns", raw.clock_step_ns);
    set(env, object, "clock_synchronized", number(env, raw.clock_synchronized));
    set(env, object, "clock_error_us", number(env, raw.clock_error_us));
    set_uint64(env, object, "late_ticks", raw.late_ticks);
    set_uint64(env, object, "late_overslept", raw.late_overslept);
    set_uint64(env, object, "late_preempted", raw.late_preempted);
    set_uint64(env, object, "late_host_late", raw.late_host_late);
    set(env, object, "reference_state", number(env, raw.reference_state));
    set(env, object, "reference_rebases", number(env, raw.reference_rebases));
    set_int64(env, object, "reference_phase_error_ns", raw.reference_phase_error_ns);
    set_int64(env, object, "reference_rate_offset_ppb", raw.reference_rate_offset_ppb);
    set_int64(env, object, "reference_jitter_ns", raw.reference_jitter_ns);
    set_uint64(env, object, "reference_steps", raw.reference_steps);
    set_uint64(env, object, "reference_observations", raw.reference_observations);
    set_uint64(env, object, "reference_dropped", raw.reference_dropped);
    set_uint64(env, object, "reference_outliers", raw.reference_outliers);
    return object;
}

/* setControls(pacer, flags, affinityMask, realtimePriority, dmaLatencyUs): a status. */
static napi_value set_controls(napi_env env, napi_callback_info info)
{
    napi_value argv[5];
    struct node_pacer* pacer;
    if (!arguments(env, info, 5, argv) || (pacer = pacer_of(env, argv[0])) == NULL) {
        return NULL;
    }
    varnex_pacer_controls controls = {.size = sizeof controls};
    int64_t mask;
    if (!get_uint32(env, argv[1], &controls.flags) || !get_bigint(env, argv[2], &mask) ||
        !get_uint32(env, argv[3], &controls.realtime_priority) ||
        !get_uint32(env, argv[4], &controls.dma_latency_us)) {
        return NULL;
    }
    controls.affinity_mask = (uint64_t)mask;
    return status_value(env, varnex_pacer_set_controls(pacer->pacer, &controls));
}

/* setLatenessBudget(pacer, p99Ns): a status. */
static napi_value set_lateness_budget(napi_env env, napi_callback_info info)
{
    napi_value argv[2];
    struct node_pacer* pacer;
    int64_t p99_ns;
    if (!arguments(env, info, 2, argv) || (pacer = pacer_of(env, argv[0])) == NULL ||
        !get_bigint(env, argv[1], &p99_ns)) {
        return NULL;
    }
    return status_value(env, varnex_pacer_set_lateness_budget(pacer->pacer, p99_ns));
}

/* observe(pacer, referenceNs, localNs): a status. */
static napi_value observe(napi_env env, napi_callback_info info)
{
    napi_value argv[3];
    struct node_pacer* pacer;
    int64_t reference_ns, local_ns;
    if (!arguments(env, info, 3, argv) || (pacer = pacer_of(env, argv[0])) == NULL ||
        !get_bigint(env, argv[1], &reference_ns) || !get_bigint(env, argv[2], &local_ns)) {
        return NULL;
    }
    return status_value(env, varnex_pacer_observe(pacer->pacer, reference_ns, local_ns));
}

/* setReferenceOptions(pacer, slewPpm, stepThresholdNs, rebaseThresholdNs, holdoverNs): a status. */
static napi_value set_reference_options(napi_env env, napi_callback_info info)
{
    napi_value argv[5];
    struct node_pacer* pacer;
    varnex_reference_options options = {.size = sizeof options};
    int64_t step_ns, rebase_ns, holdover_ns;
    if (!arguments(env, info, 5, argv) || (pacer = pacer_of(env, argv[0])) == NULL ||
        !get_uint32(env, argv[1], &options.slew_ppm) || !get_bigint(env, argv[2], &step_ns) ||
        !get_bigint(env, argv[3], &rebase_ns) || !get_bigint(env, argv[4], &holdover_ns)) {
        return NULL;
    }
    options.step_threshold_ns = step_ns;
    options.rebase_threshold_ns = rebase_ns;
    options.holdover_ns = holdover_ns;
    return status_value(env, varnex_pacer_set_reference_options(pacer->pacer, &options));
}

/* rate(pacer): [numerator, denominator], or a status. */
static napi_value rate(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    struct node_pacer* pacer;
    if (!arguments(env, info, 1, argv) || (pacer = pacer_of(env, argv[0])) == NULL) {
        return NULL;
    }
    uint32_t rate_num, rate_den;
    int status = varnex_pacer_rate(pacer->pacer, &rate_num, &rate_den);
    if (status != VARNEX_OK) {
        return status_value(env, status);
    }
    napi_value pair;
    napi_create_array_with_length(env, 2, &pair);
    napi_set_element(env, pair, 0, number(env, rate_num));
    napi_set_element(env, pair, 1, number(env, rate_den));
    return pair;
}

static void destroy_clock(struct node_clock* clock)
{
    varnex_sim_clock_destroy(clock->clock);
    clock->clock = NULL;
}

static void clock_collected(napi_env env, void* data, void* hint)
{
    (void)env;
    (void)hint;
    struct node_clock* clock = data;
    /* An advance holds the clock's object until it ends: only the
     * environment's end collects it then, and the advance, still running in
     * the thread pool, keeps its memory. */
    if (clock->advances != 0) {
        return;
    }
    destroy_clock(clock);
    free(clock);
}

static napi_value clock_external(napi_env env, int status, struct node_clock* clock)
{
    if (status != VARNEX_OK) {
        free(clock);
        return status_value(env, status);
    }
    napi_value external;
    if (napi_create_external(env, clock, clock_collected, NULL, &external) != napi_ok) {
        destroy_clock(clock);
        free(clock);
        return NULL;
    }
    return external;
}

/* Copies a name of 1 to 63 bytes (the JavaScript layer checked it) into a
 * config's field; false for one that the field cannot hold. */
static bool name_into(napi_env env, napi_value value, char name[64])
{
    size_t length;
    if (napi_get_value_string_utf8(env, value, NULL, 0, &length) != napi_ok) {
        fail(env, "varnex addon: expected a name");
        return false;
    }
    if (length == 0 || length > 63) {
        fail(env, "varnex addon: a name of 1 to 63 bytes");
        return false;
    }
    napi_get_value_string_utf8(env, value, name, 64, &length);
    return true;
}

/* clockCreate(startNs, flags, name): the clock's external, or a status. An
 * undefined name makes a clock of this process only. */
static napi_value clock_create(napi_env env, napi_callback_info info)
{
    napi_value argv[3];
    varnex_sim_clock_config config = {.size = sizeof config};
    int64_t start_ns;
    if (!arguments(env, info, 3, argv) || !get_bigint(env, argv[0], &start_ns) ||
        !get_uint32(env, argv[1], &config.flags)) {
        return NULL;
    }
    config.start_ns = start_ns;
    napi_valuetype name_type;
    napi_typeof(env, argv[2], &name_type);
    if (name_type != napi_undefined && !name_into(env, argv[2], config.name)) {
        return NULL;
    }
    struct node_clock* clock = calloc(1, sizeof *clock);
    if (clock == NULL) {
        return status_value(env, VARNEX_E_NO_MEMORY);
    }
    return clock_external(env, varnex_sim_clock_create(&config, &clock->clock), clock);
}

/* clockOpen(name): the clock's external, or a status. */
static napi_value clock_open(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    char name[64];
    if (!arguments(env, info, 1, argv) || !name_into(env, argv[0], name)) {
        return NULL;
    }
    struct node_clock* clock = calloc(1, sizeof *clock);
    if (clock == NULL) {
        return status_value(env, VARNEX_E_NO_MEMORY);
    }
    return clock_external(env, varnex_sim_clock_open(name, &clock->clock), clock);
}

/* clockNow(clock): the reading as a BigInt, or a status. */
static napi_value clock_now(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    struct node_clock* clock;
    if (!arguments(env, info, 1, argv) || (clock = clock_of(env, argv[0])) == NULL) {
        return NULL;
    }
    int64_t now_ns;
    int status = varnex_sim_clock_now(clock->clock, &now_ns);
    if (status != VARNEX_OK) {
        return status_value(env, status);
    }
    napi_value result;
    napi_create_bigint_int64(env, now_ns, &result);
    return result;
}

/* An advance's arguments (clock, toNs, settleNs); argv[0] receives the
 * clock's object. */
static struct node_clock* advance_arguments(napi_env env, napi_callback_info info, napi_value argv[3],
                                            int64_t* to_ns, int64_t* settle_ns)
{
    struct node_clock* clock;
    if (!arguments(env, info, 3, argv) || (clock = clock_of(env, argv[0])) == NULL ||
        !get_bigint(env, argv[1], to_ns) || !get_bigint(env, argv[2], settle_ns)) {
        return NULL;
    }
    return clock;
}

/* clockAdvanceSync(clock, toNs, settleNs): a status. */
static napi_value clock_advance_sync(napi_env env, napi_callback_info info)
{
    napi_value argv[3];
    int64_t to_ns, settle_ns;
    struct node_clock* clock = advance_arguments(env, info, argv, &to_ns, &settle_ns);
    if (clock == NULL) {
        return NULL;
    }
    return status_value(env, varnex_sim_clock_advance(clock->clock, to_ns, settle_ns));
}

struct advance {
    napi_async_work work;
    napi_deferred deferred;
    napi_ref self;              /* the clock's object, kept from the collector */
    struct node_clock* clock;
    int64_t to_ns;
    int64_t settle_ns;
    int status;
};

/* In the thread pool: no Node-API call here. */
static void advance_in_pool(napi_env env, void* data)
{
    (void)env;
    struct advance* advance = data;
    advance->status = varnex_sim_clock_advance(advance->clock->clock, advance->to_ns, advance->settle_ns);
}

static void advance_ended(napi_env env, napi_status work_status, void* data)
{
    struct advance* advance = data;
    struct node_clock* clock = advance->clock;
    clock->advances -= 1;
    if (clock->closed && clock->advances == 0) {
        destroy_clock(clock);
    }
    napi_value status = status_value(env, work_status == napi_ok ? advance->status : VARNEX_E_CANCELLED);
    napi_resolve_deferred(env, advance->deferred, status);
    napi_delete_reference(env, advance->self);
    napi_delete_async_work(env, advance->work);
    free(advance);
}

/* clockAdvance(clock, toNs, settleNs): a promise of the status, the advance
 * run in the thread pool. */
static napi_value clock_advance(napi_env env, napi_callback_info info)
{
    napi_value argv[3];
    int64_t to_ns, settle_ns;
    struct node_clock* clock = advance_arguments(env, info, argv, &to_ns, &settle_ns);
    if (clock == NULL) {
        return NULL;
    }
    struct advance* advance = calloc(1, sizeof *advance);
    if (advance == NULL) {
        return status_value(env, VARNEX_E_NO_MEMORY);
    }
    advance->clock = clock;
    advance->to_ns = to_ns;
    advance->settle_ns = settle_ns;
    napi_value name, promise;
    napi_create_string_utf8(env, "varnex.advance", NAPI_AUTO_LENGTH, &name);
    if (napi_create_async_work(env, NULL, name, advance_in_pool, advance_ended, advance, &advance->work) != napi_ok) {
        free(advance);
        return status_value(env, VARNEX_E_NO_MEMORY);
    }
    napi_create_promise(env, &advance->deferred, &promise);
    napi_create_reference(env, argv[0], 1, &advance->self);
    clock->advances += 1;
    napi_queue_async_work(env, advance->work);
    return promise;
}

/* clockClose(clock): destroys the clock now, or as its last advance ends. */
static napi_value clock_close(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    struct node_clock* clock;
    if (!arguments(env, info, 1, argv) || (clock = clock_of(env, argv[0])) == NULL) {
        return NULL;
    }
    clock->closed = true;
    if (clock->advances == 0) {
        destroy_clock(clock);
    }
    return NULL;
}

static napi_value version(napi_env env, napi_callback_info info)
{
    (void)info;
    return number(env, varnex_version());
}

static napi_value clock_ns(napi_env env, napi_callback_info info)
{
    (void)info;
    napi_value result;
    napi_create_bigint_int64(env, varnex_clock_ns(), &result);
    return result;
}

static napi_value strerror_value(napi_env env, napi_callback_info info)
{
    napi_value argv[1], text;
    int32_t status;
    if (!arguments(env, info, 1, argv) || napi_get_value_int32(env, argv[0], &status) != napi_ok) {
        return NULL;
    }
    napi_create_string_utf8(env, varnex_strerror(status), NAPI_AUTO_LENGTH, &text);
    return text;
}

#ifdef VARNEX_NODE_TEST_HOOKS
/* failNextPoll(status): the test build's only (bindings/node/CMakeLists.txt);
 * the next poll callback of this environment's pending wait reports status,
 * a negative libuv error, instead of its own. */
static napi_value fail_next_poll(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    int32_t status;
    if (!arguments(env, info, 1, argv)) {
        return NULL;
    }
    if (napi_get_value_int32(env, argv[0], &status) != napi_ok || status >= 0) {
        return fail(env, "varnex addon: expected a negative libuv status");
    }
    struct addon* addon;
    napi_get_instance_data(env, (void**)&addon);
    addon->injected_poll_status = status;
    return NULL;
}
#endif

static void addon_ended(napi_env env, void* data, void* hint)
{
    (void)env;
    (void)hint;
    free(data);
}

NAPI_MODULE_INIT()
{
    struct addon* addon = calloc(1, sizeof *addon);
    if (addon == NULL || napi_get_uv_event_loop(env, &addon->loop) != napi_ok ||
        napi_set_instance_data(env, addon, addon_ended, NULL) != napi_ok) {
        free(addon);
        napi_throw_error(env, NULL, "varnex addon: no event loop");
        return NULL;
    }
    const napi_property_descriptor functions[] = {
        {"create", NULL, create, NULL, NULL, NULL, napi_default, NULL},
        {"waitSync", NULL, wait_sync, NULL, NULL, NULL, napi_default, NULL},
        {"waitStart", NULL, wait_start, NULL, NULL, NULL, napi_default, NULL},
        {"close", NULL, close_function, NULL, NULL, NULL, napi_default, NULL},
        {"cancel", NULL, cancel, NULL, NULL, NULL, napi_default, NULL},
        {"stats", NULL, stats, NULL, NULL, NULL, napi_default, NULL},
        {"setControls", NULL, set_controls, NULL, NULL, NULL, napi_default, NULL},
        {"setLatenessBudget", NULL, set_lateness_budget, NULL, NULL, NULL, napi_default, NULL},
        {"observe", NULL, observe, NULL, NULL, NULL, napi_default, NULL},
        {"setReferenceOptions", NULL, set_reference_options, NULL, NULL, NULL, napi_default, NULL},
        {"rate", NULL, rate, NULL, NULL, NULL, napi_default, NULL},
        {"version", NULL, version, NULL, NULL, NULL, napi_default, NULL},
        {"clockNs", NULL, clock_ns, NULL, NULL, NULL, napi_default, NULL},
        {"strerror", NULL, strerror_value, NULL, NULL, NULL, napi_default, NULL},
        {"clockCreate", NULL, clock_create, NULL, NULL, NULL, napi_default, NULL},
        {"clockOpen", NULL, clock_open, NULL, NULL, NULL, napi_default, NULL},
        {"clockNow", NULL, clock_now, NULL, NULL, NULL, napi_default, NULL},
        {"clockAdvance", NULL, clock_advance, NULL, NULL, NULL, napi_default, NULL},
        {"clockAdvanceSync", NULL, clock_advance_sync, NULL, NULL, NULL, napi_default, NULL},
        {"clockClose", NULL, clock_close, NULL, NULL, NULL, napi_default, NULL},
#ifdef VARNEX_NODE_TEST_HOOKS
        {"failNextPoll", NULL, fail_next_poll, NULL, NULL, NULL, napi_default, NULL},
#endif
    };
    if (napi_define_properties(env, exports, sizeof functions / sizeof functions[0], functions) != napi_ok) {
        napi_throw_error(env, NULL, "varnex addon: its functions could not be defined");
        return NULL;
    }
    return exports;
}
