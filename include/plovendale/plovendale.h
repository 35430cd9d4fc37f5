#pragma once

// Everything a host application uses: the facade and its records, the platform configuration with
// the services a host may replace (key-value store, bundle, pasteboard, device, log sink), the main
// queue that carries every callback, and the general HTTP request object.
//
// Threads: call the facade from the thread that drains the main queue (the host's main thread);
// each header says where its calls may come from when it differs.

#include "plovendale/http/st_http_request.h"
#include "plovendale/http/st_http_upload.h"
#include "plovendale/http/st_http_value.h"
#include "plovendale/http/string_encoding.h"
#include "plovendale/http/url_credential.h"
#include "plovendale/platform/bundle.h"
#include "plovendale/platform/bytes.h"
#include "plovendale/platform/device.h"
#include "plovendale/platform/error.h"
#include "plovendale/platform/http_cookie.h"
#include "plovendale/platform/key_value_store.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/pasteboard.h"
#include "plovendale/platform/platform.h"
#include "plovendale/platform/url_request.h"
#include "plovendale/sdk/app_key.h"
#include "plovendale/sdk/constants.h"
#include "plovendale/sdk/install_trace_state.h"
#include "plovendale/sdk/plovendale.h"
#include "plovendale/sdk/records.h"
#include "plovendale/sdk/user_activity.h"
