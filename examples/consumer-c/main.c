/* A C host: starts the library against a service, asks for the install trace, then hands it a
   wake-up link. Usage: consumer_c SERVER APP_KEY DATA_DIR BUNDLE_DIR LINK */
#include <stdio.h>

#include "plovendale/plovendale_c.h"

struct outcome {
    int done;
    int attributed;
    int woken;
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

static int is_done(void* context) {
    return ((struct outcome*)context)->done;
}

int main(int argc, char** argv) {
    struct outcome outcome = {0, 0, 0};
    int handled;
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

    if (plovendale_get_install_trace(0, on_success, on_failure, &outcome) != PLOVENDALE_OK)
        return 1;
    /* An application's main loop calls plovendale_drain_main_queue(); this host waits for its one
       outcome. */
    plovendale_run_main_queue_until(is_done, &outcome, 15000);

    handled = plovendale_handle_universal_link(argv[5]);
    return outcome.attributed && handled == 1 && outcome.woken ? 0 : 1;
}
