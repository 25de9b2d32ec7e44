#pragma once

// The usage analytics client: sessions, events, timed events, errors and page
// views, recorded on one serial queue, packed into big-endian records and kept
// in a persistent upload queue that posts them to the analytics server. The
// program carries the client but never starts it. No Qt here: the page-view
// counting on navigation and tab-bar controllers is a target of its own beside
// it (usage_page_view_delegate.h).
// May include: platform, json, http, crash.

// clang-format off
#include "analytics/usage.h"                          // Usage: the facade an application calls
#include "analytics/usage_impl.h"                     // UsageImpl: the analytics queue and the live session
#include "analytics/usage_session.h"                  // UsageSession: one session, saved sessions, first-use time
#include "analytics/usage_event.h"                    // UsageEvent, UsageError: the recorded items
#include "analytics/usage_protocol_data.h"            // UsageProtocolData: big-endian encoders and readers
#include "analytics/usage_data_sender.h"              // UsageDataSender: stored blocks, uploads, the server's answer
#include "analytics/usage_http_async_task.h"          // UsageHttpAsyncTask, UsageHTTPResponse: one upload request
#include "analytics/usage_global_variable_storage.h"  // UsageGlobalVariableStorage: settings and persistent maps
#include "analytics/usage_persistent_state.h"         // keychain items, file cache, id counters, shared data
#include "analytics/usage_network_util.h"             // UsageReachability, UsageNetworkUtil, UsageHeartBeater
#include "analytics/usage_util.h"                     // UsageUtil: log, files, identifiers, digests, device facts
#include "analytics/keyed_archive.h"                  // KeyedArchive: the client's archive format
#include "analytics/usage_checksum.h"                 // usageCrc32: the envelope's checksum
#include "analytics/usage_environment.h"              // UsageEnvironment: the services and folders it runs on
// clang-format on
