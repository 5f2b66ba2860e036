// Requests on a ThreadedConnection: the render core shared by every
// synchronous render, push and flush, the asynchronous render on a worker
// thread, queries, closing and cancellation.
//
// Synchronous requests hold the connection lock for the whole request; a
// request started from inside the connection's own callback returns OV_BUSY
// instead of nesting on the socket.
#pragma once

#include <memory>

#include "client/connection.h"
#include "client/orvelle.h"

// The render core; the caller holds the connection lock. begun: the caller
// (the worker) has begun the request already.
int _RenderSpeech(ThreadedConnection& connection, const char* text, bool wait_for_worker, bool xml, bool flush,
                  bool begun = false);

// Synchronous requests by handle: render (flush on) or push (flush off), in
// markup mode
int RenderSpeech(CONNECTION_HANDLE handle, const char* text, bool flush);

// Asynchronous render: OV_SUCCESS once the worker has begun, OV_BAD_HANDLE,
// OV_BUSY while a worker renders, OV_ERROR when no worker can be started
int _RenderSpeechAsync(CONNECTION_HANDLE handle, const char* text, bool xml);

// A query whose events go to capture (with capture_data) instead of the
// application's callback when capture is set; the capture is in place only
// while the query holds the connection lock.
int QueryServer(CONNECTION_HANDLE handle, const char* xml, EVENT_CALLBACK capture = nullptr,
                void* capture_data = nullptr);

// Opening, closing and cancelling by handle
int OpenConnection(CONNECTION_HANDLE handle, const char* host, int port);
int CloseConnection(CONNECTION_HANDLE handle);
int CancelRequest(CONNECTION_HANDLE handle);
