#ifndef PLOVENDALE_PLOVENDALE_C_H
#define PLOVENDALE_PLOVENDALE_C_H

/* The library's C interface, for bindings (Swift, Kotlin/JNI, C#, Dart, Python ctypes) and C
   hosts. Plain C: no C++ types cross it, and no exception leaves it.

   Every function may be called before start-up and with NULL arguments: a NULL where a value is
   required answers PLOVENDALE_ERROR_INVALID_ARGUMENT and changes nothing. Strings are UTF-8,
   NUL-terminated. Strings the library hands to a callback are valid for that call only (copy what
   you keep); nothing the library returns is freed by the caller, except that each task handed to a
   poster must be run once with plovendale_task_run, which also releases it.

   Threads: call everything from the host's main thread (the thread that drains the main queue)
   unless a function says otherwise. Install-trace outcomes and the wake-up callback run on that
   thread; the log callback and the poster may be called on any thread.

   Re-entering: the library holds none of its locks while it calls a callback, so any callback may
   call any function here that its thread may call (from the main thread, everything; from
   another thread, what says "Any thread"). A call made from inside a callback returns as it
   would outside it. */

#include <stddef.h>
#include <stdint.h>

#include "plovendale/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Results of the functions below; a function that answers a count or a yes/no answers one of
    these negative values when it fails. */
typedef enum plovendale_status {
    PLOVENDALE_OK = 0,
    /** A required argument was NULL (or a number out of range). */
    PLOVENDALE_ERROR_INVALID_ARGUMENT = -1,
    /** The library failed inside (out of memory, for one); it logged why. */
    PLOVENDALE_ERROR_INTERNAL = -2,
    /** Not at this time: a configure while the library runs, a start with another key while it
        runs with one (call plovendale_shutdown first). It logged which. */
    PLOVENDALE_ERROR_STATE = -3
} plovendale_status;

/** The library's version text, "2.3.1". Static storage; never NULL. Any thread. Strings: the answer
    is static; never free it. Re-entry: from any callback. */
PLOVENDALE_API const char* plovendale_version(void);

/** Where the library keeps its state and where the application bundle (Info.plist and the bundle
    marker) lives. NULL takes the desktop default (the data directory under $XDG_DATA_HOME, the
    executable's directory). Call before start-up (or after plovendale_shutdown); a later call
    replaces both. While the library runs it answers PLOVENDALE_ERROR_STATE and changes nothing:
    the state would split across two directories. Main thread.
    Strings: read before it returns; the caller keeps them. Re-entry: may be called from any
    callback on the main thread. */
PLOVENDALE_API int plovendale_configure(const char* data_directory, const char* bundle_directory);

/** What a binding knows about the device and where the library keeps things, for
    plovendale_configure_with. Set `size` to sizeof(plovendale_configuration): fields past the size
    a caller was built with read as unset, so a binding built against an older header keeps
    working. NULL strings and zero numbers are unset and take the desktop default. */
typedef struct plovendale_configuration {
    size_t size;
    /** Where the state lives: the key-value store (defaults.sqlite) and the event store. */
    const char* data_directory;
    /** The application bundle: Info.plist and _CodeSignature/.pvignore. */
    const char* bundle_directory;
    /** A PEM file of certificate authorities the service's certificate may chain to, besides
        the system's (a private or test service). */
    const char* ca_file;
    /** The hardware model, such as "iPhone12,1" (default: uname's machine). */
    const char* device_model;
    /** The system version as "MAJOR.MINOR.PATCH", such as "17.4.1" (default: the kernel's). */
    const char* os_version;
    /** The main screen in points and its scales; width and height 0: no screen. */
    double screen_width;
    double screen_height;
    double screen_scale;
    double screen_native_scale;
    /** The user's language as a BCP 47 tag, such as "de-CH" (at most 35 letters, digits and
        hyphens); default: none, and the install request carries none. */
    const char* language;
    /** The device's IANA time zone name, such as "Europe/Zurich" (at most 64 characters);
        default: none, and the install request carries none. */
    const char* time_zone;
} plovendale_configuration;

/** plovendale_configure with every host signal a binding can give: answers as it does, and
    PLOVENDALE_ERROR_INVALID_ARGUMENT (with a log line) when `configuration` is NULL, its size is
    smaller than the first two fields, the OS version is not three numbers, the language is not a
    BCP 47 tag or the time zone not an IANA name (nothing is then changed), or the CA file cannot
    be read (the rest is then in force). Main thread. Strings: read before it returns; the caller
    keeps them. Re-entry: may be called from any callback on the main thread. */
PLOVENDALE_API int plovendale_configure_with(const plovendale_configuration* configuration);

/** Puts what the system pasteboard holds on the library's pasteboard, as one item with a plain
    text and an HTML representation (either may be NULL: not present; both NULL: empty). A binding
    reads the platform's pasteboard and calls this before start-up, which looks there for the trace
    a landing page left; the library may then clear it. Main thread. Strings: read before it
    returns; the caller keeps them. Re-entry: may be called from any callback on the main thread. */
PLOVENDALE_API int plovendale_set_pasteboard(const char* plain_text, const char* html);

/** Starts with the key from the bundle's Info.plist ("com.plovendale.APP_KEY"). A key that is
    missing or is not 1 to 128 letters, digits, "-" and "_" (the service's rule) is logged and
    answers PLOVENDALE_ERROR_INVALID_ARGUMENT: the library has not started. It does not wait for
    the key-value store: the first call that needs a stored value does (2 s at most; see
    Plovendale::initWithDelegate). Main thread. Strings: none. Re-entry: may be called from any
    callback on the main thread. */
PLOVENDALE_API int plovendale_start(void);
/** Starts with `app_key`, under the same rule. While the library runs with another key it answers
    PLOVENDALE_ERROR_STATE and keeps the key in force (the same key again is a harmless restart).
    Main thread. Strings: read before it returns; the
    caller keeps them. Re-entry: may be called from any callback on the main thread. */
PLOVENDALE_API int plovendale_start_with_key(const char* app_key);
/** The service base URL: an absolute http or https URL without query or fragment; a trailing "/" is
    dropped. Anything else is logged and answers PLOVENDALE_ERROR_INVALID_ARGUMENT; the domain in
    force stays. Main thread. Strings: read before it returns; the caller keeps them. Re-entry: may
    be called from any callback on the main thread. */
PLOVENDALE_API int plovendale_set_server_domain(const char* domain);
/** 1 while no install trace has been stored, 0 after; a negative status on failure. Main thread.
    Strings: none. Re-entry: may be called from any callback on the main thread. */
PLOVENDALE_API int plovendale_is_first_open(void);

/** Success of an install-trace query. `params_data` and `channel` are NULL when the service
    attributed the installation without a link. */
typedef void (*plovendale_trace_success)(void* context, const char* params_data,
                                         const char* channel);
/** Failure of an install-trace query: the code of docs/errors.md and its message (NULL when the
    service gave none). */
typedef void (*plovendale_trace_failure)(void* context, int64_t code, const char* message);

/** Asks which link brought this installation. Exactly one of the two callbacks runs once, with
    `context`: on the main queue, or before this returns for answers that need no network (no key, a
    stored answer). `timeout_ms` <= 0 takes the default of 10 s; shorter than 4 s counts as 4 s.
    Either callback may be NULL (that outcome is then dropped). Main thread. Strings: those handed
    to the callbacks are the library's, valid for that call only. Re-entry: may be called from any
    callback on the main thread. A callback that runs before this returns may call it again. */
PLOVENDALE_API int plovendale_get_install_trace(double timeout_ms, plovendale_trace_success success,
                                                plovendale_trace_failure failure, void* context);

/** A wake-up link of this application: its parameters and channel ("" when the link has none). */
typedef void (*plovendale_wake_up_callback)(void* context, const char* params_data,
                                            const char* channel);
/** Registers the wake-up callback (NULL removes it); it runs on the thread that hands in the link,
    before the handle function returns. Main thread (or the thread that hands in links). Strings:
    those handed to the callback are valid for that call only; keep `context` alive until another
    callback (or NULL) replaces it. Re-entry: the callback may call any function its thread may
    call, this one included. */
PLOVENDALE_API int plovendale_set_wake_up_callback(plovendale_wake_up_callback callback,
                                                   void* context);
/** A custom-scheme link the application was opened with: 1 when it was this library's link, 0 when
    not, a negative status on failure. The thread that handles links (normally the main thread).
    Strings: read before it returns; the caller keeps them. Re-entry: may be called from any
    callback on the main thread. */
PLOVENDALE_API int plovendale_handle_scheme_link(const char* url);
/** The web page URL of a universal link (a browsing-web activity): answers as above. The thread
    that handles links (normally the main thread). Strings: read before it returns; the caller keeps
    them. Re-entry: may be called from any callback on the main thread. */
PLOVENDALE_API int plovendale_handle_universal_link(const char* webpage_url);

/** Runs the work queued on the main queue, on the calling thread: the number of tasks run, or a
    negative status. Call it from the host's main loop whenever it is idle. Main thread only: the
    thread that drains is the main thread. Strings: none. Re-entry: not from inside a main-queue
    task (the queue is serial); any other callback may. */
PLOVENDALE_API int plovendale_drain_main_queue(void);
/** Tells the main-queue driver that the host is done waiting. */
typedef int (*plovendale_done_predicate)(void* context);
/** Runs main-queue work on the calling thread until `done` answers non-zero or `timeout_ms` has
    passed: 1 when `done` held, 0 on timeout. For command-line hosts and tests. Main thread only.
    Strings: none. Re-entry: not from inside a main-queue task; `done` runs on the calling thread
    and may call any main-thread function except these two. */
PLOVENDALE_API int plovendale_run_main_queue_until(plovendale_done_predicate done, void* context,
                                                   int64_t timeout_ms);

/** One unit of main-queue work handed to a poster. */
typedef struct plovendale_task plovendale_task;
/** Hands `task` to the host's own loop, to be run on its main thread once `delay_ms` has passed
    (0: as soon as possible). Called on any thread; must not run the task itself. */
typedef void (*plovendale_poster)(void* context, plovendale_task* task, int64_t delay_ms);
/** Installs the host's poster in place of the built-in queue (NULL returns to the built-in queue,
    which plovendale_drain_main_queue runs). The host's loop must run the tasks serially: one at a
    time, on its main thread, in the order they were posted (a task with a delay once the delay
    has passed, and among due tasks the earlier posted first); the library relies on that order.
    A loop that runs a task before one posted earlier (a swap-remove queue, a timer heap that does
    not keep equal delays in order) is said once in the log, and an install-trace answer that
    cannot be read then fails with -10007. Main thread, before start-up or with no work queued.
    Strings: none. Re-entry: the poster is called on any thread, also inside library calls made
    on the main thread; it must only hand the task on. */
PLOVENDALE_API int plovendale_set_main_queue_poster(plovendale_poster poster, void* context);
/** Runs a task handed to the poster and releases it; call exactly once per task, on the main
    thread. Strings: none. Re-entry: not from inside another task; the task may call any main-thread
    function. */
PLOVENDALE_API int plovendale_task_run(plovendale_task* task);

/** One log line of the library, without a line feed; `line` is valid for the call only. Called on
    any thread, one call at a time, in the order the lines were written; a line written on one
    thread may reach the callback on another, which is calling it then. */
typedef void (*plovendale_log_callback)(void* context, const char* line);
/** Sends the library's log lines to `callback` (NULL returns them to stderr), with `context`. Any
    thread, the callback itself included: it may replace or clear itself, and the lines after that
    go the new way. When this returns, no line is handed to the previous callback any more, except
    the one it may be running on another thread at that moment. Strings: `line` is the library's,
    valid for that call only. */
PLOVENDALE_API int plovendale_set_log_callback(plovendale_log_callback callback, void* context);

/** The user's choice about attribution: non-zero stops it (no install-trace query reaches the
    service, each fails at once with -10006, and nothing undelivered is sent); 0 lets it go on. 1
    when the choice was stored, 0 when the store refused it (it holds for this process either way),
    a negative status on failure. Main thread. Strings: none. Re-entry: may be called from any
    callback on the main thread. */
PLOVENDALE_API int plovendale_set_tracking_disabled(int disabled);
/** 1 while tracking is disabled, 0 otherwise, a negative status on failure. Main thread. Strings:
    none. Re-entry: may be called from any callback on the main thread. */
PLOVENDALE_API int plovendale_is_tracking_disabled(void);
/** Erases what the library stored about this installation (client identifier, install trace, link
    parameters, undelivered reports); a query under way drops its answer. The next query is a first
    install. The tracking choice stays. 1 when erased, 0 when the store refused (nothing changed), a
    negative status on failure. Main thread. Strings: none. Re-entry: may be called from any
    callback on the main thread. */
PLOVENDALE_API int plovendale_forget_installation(void);

/** Where the installation stands: plovendale_install_trace_state answers one of these. */
typedef enum plovendale_trace_kind {
    /** Not asked yet, or forgotten. */
    PLOVENDALE_TRACE_UNKNOWN = 0,
    /** A query is waiting for the service. */
    PLOVENDALE_TRACE_IN_FLIGHT = 1,
    /** The service named the link: params_data and channel hold it. */
    PLOVENDALE_TRACE_ATTRIBUTED = 2,
    /** The service answered without a link. */
    PLOVENDALE_TRACE_ORGANIC = 3,
    /** The last query failed: code and message as the failure callback got them. */
    PLOVENDALE_TRACE_FAILED = 4
} plovendale_trace_kind;
/** The details of a state: `kind` is a plovendale_trace_kind; `params_data` and `channel` are
    NULL unless the state is attributed with a link, `message` is NULL unless a failure came with
    one, `code` is 0 unless failed. The strings belong to the library and are valid for this call
    only. */
typedef void (*plovendale_trace_state_callback)(void* context, int kind, const char* params_data,
                                                const char* channel, int64_t code,
                                                const char* message);
/** Where the installation stands, from what is stored and what runs in this process (a failure of
    an earlier launch reads as failed until the next query): answers the plovendale_trace_kind, or a
    negative status. `details` (may be NULL) gets the whole state with `context` on the calling
    thread before this returns. Any thread. Re-entry: from any callback; `details` may call any
    function its thread may call. */
PLOVENDALE_API int plovendale_install_trace_state(plovendale_trace_state_callback details,
                                                  void* context);

/** Calls `observer` with `context` once, on the main queue, with the final state (as
    plovendale_install_trace_state gives it): at once (posted) when it is already known, otherwise
    when the next query ends. The strings are valid for that call only. Answers a token (> 0) for
    plovendale_remove_install_trace_observer, or a negative status. Any thread. Re-entry: from any
    callback; the observer runs on the main thread and may call any main-thread function. */
PLOVENDALE_API int64_t
plovendale_add_install_trace_observer(plovendale_trace_state_callback observer, void* context);
/** Forgets an observer that has not been called yet; an unknown or spent token is ignored. Any
    thread. Strings: none. Re-entry: from any callback, the observer's own included. */
PLOVENDALE_API int plovendale_remove_install_trace_observer(int64_t token);

/** One event (docs/events.md): its name, and its values as one compact JSON object of strings,
    for example {"code":"200","elapsedMs":"84"}. Both are valid for that call only. */
typedef void (*plovendale_event_callback)(void* context, const char* name, const char* values_json);
/** Replaces the event observer (NULL: no events). Set it before start-up to see the pasteboard
    events. Events arrive on the main queue. Any thread. Strings: `name` and `values_json` are the
    library's, valid for that call only. Re-entry: from any callback; the observer runs on the main
    thread and may call any main-thread function. */
PLOVENDALE_API int plovendale_set_event_observer(plovendale_event_callback observer, void* context);

/** An Ed25519 public key in PEM: from now on a wake-up link is taken only when signed by it. ""
    turns verification off. Answers 1 when the key was read, 0 when it could not be (then every link
    is refused until a good key or "" is set), or a negative status. Any thread. Strings: read
    before it returns; the caller keeps them. Re-entry: from any callback. */
PLOVENDALE_API int plovendale_set_link_verification_key(const char* pem);

/** How many state reports wait in the outbox to be delivered, or a negative status. Any thread.
    Strings: none. Re-entry: from any callback. */
PLOVENDALE_API int plovendale_queued_report_count(void);

/** Records an in-app event (docs/events.md) under the rules of Plovendale::trackEvent: `name`;
    `params_json` a JSON object whose values are strings, or NULL for none; `revenue_amount`
    decimal text such as "9.99" with its ISO 4217 `revenue_currency`, both or neither (NULL);
    `event_id` or NULL for a new UUID. 1 when recorded, 0 when refused (a value out of bounds, the
    library not started or stopped, or tracking disabled: the library logged why),
   PLOVENDALE_ERROR_INVALID_ARGUMENT when `name` is NULL, `params_json` is not an object of strings
   or one revenue string comes without the other. Never waits for the disk or the network. Any
   thread. */
PLOVENDALE_API int plovendale_track_event(const char* name, const char* params_json,
                                          const char* revenue_amount, const char* revenue_currency,
                                          const char* event_id);
/** Writes recorded events at once and sends them, waiting at most `timeout_ms` and running the
    main queue as plovendale_run_main_queue_until does, until they are written and no batch waits
    for its answer; events held for this launch's install-trace query go too unless a query is on
    the wire. 1 when every event was delivered (none waits), 2 when all are written but some wait
    in the store unsent (the service failed and they go after a backoff, another launch sends
    them, a query is on the wire, tracking is disabled or no key is set), 0 when the time ran
    out, a negative status on failure. Main thread. */
PLOVENDALE_API int plovendale_flush(double timeout_ms);
/** How many events wait in the store to be delivered, or a negative status. Any thread. */
PLOVENDALE_API int plovendale_queued_event_count(void);
/** Ends the library's work in this process, so that the host (and valgrind) sees a clean exit or
    can unload the library. First it waits at most `timeout_ms` for an install-trace query on the
    wire to be answered, running main-queue work on the calling thread meanwhile, so that the answer
    is stored and its state report written to the outbox. Then it stops and joins the library's
    threads (the I/O and delivery threads), drops every transfer (a state report on the wire stays
    in the outbox, written before it was sent, for the next launch), runs the main-queue work
    already queued, and releases the wake-up callback, the event observer, the application key and
    the services the platform made (the store is closed; the configuration and the log callback
    stay). Answers 1 when done; 0 when a query on the wire was dropped at the timeout (neither
    callback runs; the next launch asks again), when events handed in were not all stored by then,
    or when it was called on one of the library's threads (then nothing is stopped; the log says
    which). It returns within `timeout_ms` plus 100 ms plus the one store write under way (at most
    1,000 events); a negative timeout answers
    PLOVENDALE_ERROR_INVALID_ARGUMENT. Calling it again is harmless. The library is then stopped,
    not refused: queries fail at once with -10000 until a start-up call starts its threads again,
    with the configuration in force. Main thread, with no other thread calling the library while it
    runs. Strings: none. Re-entry: not from inside any callback of the library. */
PLOVENDALE_API int plovendale_shutdown(int64_t timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
