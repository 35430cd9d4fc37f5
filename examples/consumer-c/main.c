/* A C host: starts the library against a service, watches the install trace with an observer,
   asks for it, then hands it a wake-up link, tracks a purchase and flushes it; it reads the state,
   turns tracking off and on again, forgets the installation and shuts the library down for a clean
   exit. Usage: consumer_c SERVER APP_KEY DATA_DIR BUNDLE_DIR LINK */
#include <stdio.h>

#include "plovendale/plovendale_c.h"

struct outcome {
    int done;
    int attributed;
    int woken;
    int observed_kind;
};

static void on_success(void* context, const char* params_data, const char* channel) {
    struct outcome* outcome = context;
    /* NULL: attributed without a link. */
    printf("attribution: params=%s channel=%s\n", params_data ? params_data : "",
           channel ? channel : "");
    outcome->attributed = 1;
    outcome->done = 1;
}

static void on_failure(void* context, int64_t code, const char* message) {
    struct outcome* outcome = context;
    printf("no attribution: %lld %s\n", (long long)code, message ? message : "");
    outcome->done = 1;
}

static void on_wake_up(void* context, const char* params_data, const char* channel) {
    struct outcome* outcome = context;
    printf("link: params=%s channel=%s\n", params_data, channel);
    outcome->woken = 1;
}

/* Both the observer and plovendale_install_trace_state's details; the strings are the library's
   and valid for this call only. */
static void on_state(void* context, int kind, const char* params_data, const char* channel,
                     int64_t code, const char* message) {
    struct outcome* outcome = context;
    (void)params_data;
    (void)channel;
    (void)code;
    (void)message;
    outcome->observed_kind = kind;
}

static int is_done(void* context) {
    const struct outcome* outcome = context;
    return outcome->done && outcome->observed_kind != 0;
}

int main(int argc, char** argv) {
    struct outcome outcome = {0, 0, 0, 0};
    struct outcome state = {0, 0, 0, 0};
    int handled, tracked, flushed, consent_kept, forgotten, stopped;
    int64_t observer;
    if (argc != 6) {
        fprintf(stderr, "usage: %s SERVER APP_KEY DATA_DIR BUNDLE_DIR LINK\n", argv[0]);
        return 2;
    }
    printf("library %s\n", plovendale_version());
    if (plovendale_configure(argv[3], argv[4]) != PLOVENDALE_OK ||
        plovendale_set_wake_up_callback(on_wake_up, &outcome) != PLOVENDALE_OK ||
        plovendale_start_with_key(argv[2]) != PLOVENDALE_OK ||
        plovendale_set_server_domain(argv[1]) != PLOVENDALE_OK)
        return 1;

    observer = plovendale_add_install_trace_observer(on_state, &outcome);
    if (observer <= 0 || plovendale_get_install_trace(0, on_success, on_failure, &outcome) != 0)
        return 1;
    /* An application's main loop calls plovendale_drain_main_queue(); this host waits for its one
       outcome and the observer. */
    plovendale_run_main_queue_until(is_done, &outcome, 15000);
    plovendale_remove_install_trace_observer(observer); /* spent already: ignored */

    handled = plovendale_handle_universal_link(argv[5]);

    /* A purchase: recorded at once, delivered in a batch; flush waits for that (or its timeout). */
    tracked = plovendale_track_event("purchase", "{\"sku\":\"room-7\"}", "9.99", "EUR", NULL);
    flushed = plovendale_flush(10000);
    printf("purchase: tracked %d, flushed %d, still queued %d\n", tracked, flushed,
           plovendale_queued_event_count());

    /* Consent: the user's "no", kept across launches, then "yes" again. */
    consent_kept =
        plovendale_set_tracking_disabled(1) == 1 && plovendale_is_tracking_disabled() == 1 &&
        plovendale_set_tracking_disabled(0) == 1 && plovendale_is_tracking_disabled() == 0;
    printf("library state %d, observed %d, consent %s\n",
           plovendale_install_trace_state(on_state, &state), outcome.observed_kind,
           consent_kept ? "kept" : "lost");
    forgotten = plovendale_forget_installation();
    printf("library forgotten %d, state now %d\n", forgotten,
           plovendale_install_trace_state(NULL, NULL));

    stopped = plovendale_shutdown(2000);
    return outcome.attributed && handled == 1 && outcome.woken && tracked == 1 && flushed == 1 &&
                   consent_kept && state.observed_kind == PLOVENDALE_TRACE_ATTRIBUTED &&
                   outcome.observed_kind == PLOVENDALE_TRACE_ATTRIBUTED && forgotten == 1 &&
                   stopped == 1
               ? 0
               : 1;
}
