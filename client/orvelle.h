/* Public C interface of the Orvelle speech server client.
 *
 * A host creates a connection handle, opens it to a speech server, sets an
 * event callback and renders text or markup; audio and events arrive through
 * the callback until the server ends the request.
 *
 * Requests. The server is expected to answer every frame of text and every
 * query with zero or more events and one end of request (PACKET_END). A call
 * that sends waits for those answers before it returns. The library reads
 * from the server only while a call waits (a render, push, flush, query or
 * voice call on the calling thread, an asynchronous render on its worker
 * thread), never between calls.
 *
 * Threads. Every function may be called from any thread. Each connection has
 * one lock, held by a synchronous render, push, flush or query for the whole
 * call, by an asynchronous render's worker for the whole render, and by
 * ovOpenConnection and ovCloseConnection. A call that needs the lock while
 * another thread holds it waits: a synchronous call on a connection whose
 * asynchronous render is running waits for that render to end and then runs.
 * Only an asynchronous start returns OV_BUSY for a running asynchronous
 * render. The three setters take no lock, and ovCancelRequest sets the quit
 * flag without it.
 *
 * The callback runs on the thread that waits for the server: the caller's
 * thread for synchronous calls, the worker thread for an asynchronous render
 * and its PACKET_THREAD_FINISHED event. Calls of one connection's callback
 * never overlap. Inside the callback, a request on the same connection (a
 * render, push, flush, query, asynchronous start, ovSetVoiceFast or
 * ovOpenConnection) returns OV_BUSY, ovSetVoice returns OV_ERROR and
 * ovEnumerateConnectionVoices gives an enumerator without voices;
 * ovCancelRequest stops the running request; other connections work as
 * usual.
 *
 * Time-outs. A wait for the server gives up when no byte has arrived for
 * 60000 ms; every byte received starts the count again. The time-out cannot
 * be changed. Resolving, connecting and sending have no time-out of their
 * own: a send blocks while the server does not read. Closing reads and drops
 * what the server still sends for at most about 500 ms.
 *
 * Failed requests. A wait also ends when the server fails or when the
 * callback returns anything but OV_SUCCESS. The request then stops: none of
 * its remaining text is sent, nothing of its text is kept for a later
 * request, and, while the socket is open, the text it already sent is ended
 * with the empty final PACKET_TEXT (a stopped push too) before anything
 * else is sent, so that the server does not speak it as part of the next
 * request. Its remaining answers, those to that frame included, are read
 * and dropped, never delivered to a later request. Render, push and
 * flush return the same code for the same failure; it depends on what was
 * awaited:
 *
 *   failure                      piece of text   end of request   line on
 *                                answered        or query         standard error
 *   callback refusal             OV_CANCELLED    OV_ERROR         WARNING: callback did not
 *                                                                 return OV_SUCCESS, ...
 *   PACKET_CLOSE, socket open    OV_CANCELLED    OV_ERROR         WARNING: the server has
 *                                                                 closed the connection ...
 *   server closes the TCP        OV_CANCELLED    OV_ERROR         none
 *   connection, or resets it
 *   no byte for 60000 ms         OV_SEND_FAILED  OV_ERROR         WARNING: orvelle packet
 *                                                                 receive from server timed
 *                                                                 out after 60000ms
 *   malformed frame (lengths     OV_SEND_FAILED  OV_ERROR         ERROR: orvelle packet
 *   differ, or above 64000)                                       receive error (or: ERROR:
 *                                                                 orvelle receive error,
 *                                                                 packet too big ...)
 *
 * A request stopped by ovCancelRequest returns OV_CANCELLED (and is ended
 * on the server as above); a frame that cannot be sent gives
 * OV_SEND_FAILED. After a time-out, a malformed frame, or a server that
 * closed or reset the TCP connection, the library closes the socket: from
 * then on every request fails with OV_SEND_FAILED at once and
 * ovCancelRequest cannot reconnect; ovOpenConnection opens the handle
 * again.
 *
 * PACKET_CLOSE on an open socket cuts off the answer being read; what
 * follows it belongs to the request it cut off and is read and dropped
 * before the wait returns. The wait reads the rest of the cut-off answer up
 * to its PACKET_END for as long as frames keep coming with gaps under
 * 20 ms; while answers to frames sent after that one are still owed, it
 * waits up to 1 s of silence for each; it gives up after 3 s in all. When
 * all of them came, the socket stays open and the next request gets its own
 * answers. Otherwise a part of the cut-off answer may still be on its way,
 * and the library closes the socket as after a malformed frame (later
 * requests fail with OV_SEND_FAILED at once): so after a PACKET_CLOSE
 * without a PACKET_END within 20 ms the connection must be opened again.
 *
 * Standard output. The functions print these complete lines; the function
 * comments below say when:
 *   "WARNING: bad handle.\n"                         ovCancelRequest
 *   "WARNING: could not close the connection!\n"     ovCancelRequest
 *   "WARNING: Tervane query failed, the voice has not been switched\n"
 *                                                    ovSetVoiceFast, ovSetVoice
 *   "WARNING: failed to set voice. Using default instead\n"  ovSetVoice
 *   "WARNING: voice was not found. Using default instead\n"  ovSetVoice
 *   "WARNING: failed to close voice enumerator\n"            ovSetVoice
 *
 * Standard error. Connections log most of their failures there (a server
 * that closes or resets the connection ends the wait without a line), one
 * line each: the UTC time "yyyymmdd hh:mm:ss.mmm", a blank, then the text
 * below as printed. Only ERROR and WARNING lines are written:
 *   WARNING: orvelle packet receive from server timed out after 60000ms
 *   WARNING: the server has closed the connection to the orvelle client
 *   WARNING: callback did not return OV_SUCCESS, skipping remaining packets
 *   WARNING: unhandled packet type <type>
 *   WARNING: malformed phoneme packet of length <n>, skipping it
 *   WARNING: Input is too big for text packet, splitting tokeniser output
 *            into chunks                  (a piece over 63999 bytes)
 *   ERROR: error sending text chunk
 *   ERROR: error processing connection data or callback cancelled
 *   ERROR: orvelle packet receive error   (the two lengths of a frame differ)
 *   ERROR: orvelle receive error, packet too big for packet type <type>
 *          length is <n>
 *   ERROR: orvelle send error, packet too big for packet type 13 length is <n>
 *   ERROR: error sending <field> for packet of type <type>
 *                                         (a send failed, e.g. to a server
 *                                         that has gone away)
 *   ERROR: orvelle socket closed, cannot receive bytes
 *   ERROR: orvelle socket cannot receive, out of memory
 * The text-processing library inside each connection writes to standard
 * error only when memory runs out. */
#ifndef ORVELLE_H
#define ORVELLE_H

#include <stdint.h>

#if defined(__GNUC__)
#define OV_EXPORT __attribute__((visibility("default")))
#else
#define OV_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Handles. Connections and enumerators are numbered separately, so a
 * connection and an enumerator may have the same number. A new handle is the
 * one most recently freed (by ovDestroyConnection or ovCloseEnumerator) or,
 * when none is free, 1000 plus the number of handles in use: the first of
 * each kind is 1000. A freed number soon names another object, so a handle
 * must not be used after it was destroyed or closed. Handles belong to the
 * process, not to a thread; ovCancelRequest keeps the handle. An unknown
 * handle gives OV_BAD_HANDLE (NULL where a string is returned) and changes
 * nothing; ovDestroyConnection and ovCloseEnumerator return OV_SUCCESS for
 * it. Connections not destroyed go when the process exits (or the library
 * is unloaded first), before the static objects that the application built
 * before its first ovCreateConnection are destroyed: an asynchronous render
 * still running is told to stop and waited for, its PACKET_THREAD_FINISHED
 * event comes then, and no callback runs afterwards; their handles are
 * unknown from then on. Enumerators not closed go when the library is
 * unloaded. Objects built after the first ovCreateConnection (a function's
 * static built later, say) are destroyed before that: their destructors may
 * still use the connections. */
typedef int32_t CONNECTION_HANDLE;
typedef int32_t ENUMERATOR_HANDLE;

/* Return codes of every function that returns an int code. */
enum {
  OV_SUCCESS = 0,
  OV_ERROR = -1,
  OV_BAD_HANDLE = -2,
  OV_SEND_FAILED = -3,
  OV_CONNECT_FAILED = -4,
  OV_CANCELLED = -5,
  OV_BUSY = -6,
  OV_BAD_KEY = -7,
  OV_NO_VOICE = -8
};

/* Packet types on the wire and event types given to the callback.
 *
 * Events, all on the thread that waits for the server (see Threads), in the
 * order the server sent them; data is valid only during the call:
 *   PACKET_PHONEME   data: a phoneme_data record (below);
 *                    length: sizeof(phoneme_data).
 *   PACKET_SPURT, PACKET_WORD, PACKET_BOOKMARK, PACKET_XML
 *                    data: the frame's bytes as the server sent them, text
 *                    followed by a NUL even when the server left it out;
 *                    length: the frame's data length, the server's NUL
 *                    included when it sent one.
 *   PACKET_AUDIO     data: 16-bit samples as the server sent them, not
 *                    converted; length: in bytes, two per sample.
 *   PACKET_THREAD_FINISHED
 *                    data: NULL; length: the asynchronous render's return
 *                    code (0 on success). Once at the end of every
 *                    asynchronous render, on its worker thread, also after a
 *                    cancel.
 * PACKET_END and PACKET_CLOSE never reach the callback. A type the server
 * sends that is not listed here, and a phoneme payload that ends before its
 * sample rate or whose names lack their NUL, is skipped with a line on
 * standard error. */
typedef enum PACKET_TYPE {
  PACKET_TEXT = 1,
  PACKET_PHONEME = 3,
  PACKET_SPURT = 6,
  PACKET_WORD = 8,
  PACKET_BOOKMARK = 9,
  PACKET_AUDIO = 10,
  PACKET_END = 11,
  PACKET_CLOSE = 12,
  PACKET_XML = 13,
  PACKET_THREAD_FINISHED = 14, /* local event only, never on the wire */
  PACKET_TEXT_STREAM = 15
} PACKET_TYPE;

/* Voice attributes: 1 and 2 are integers, 3 to 16 strings. */
typedef enum VOICE_KEY {
  OV_SAMPLE_RATE = 1,
  OV_SAMPLE_BITS = 2,
  OV_VOICE_ID = 3,
  OV_SEX = 4,
  OV_LANGUAGE = 5,
  OV_LANGUAGE_ID = 6,
  OV_COUNTRY = 7,
  OV_COUNTRY_ID = 8,
  OV_REGION = 9,
  OV_ACCENT = 10,
  OV_ACCENT_ID = 11,
  OV_VOICE_UUID = 12,
  OV_ENCODING = 13,
  OV_LANGUAGE_CODE_ISO = 14,
  OV_LANGUAGE_CODE_MICROSOFT = 15,
  OV_COUNTRY_CODE_ISO = 16
} VOICE_KEY;

/* The record handed to the callback for a PACKET_PHONEME event. Its names
 * point into the received packet and are valid only during the callback.
 * struct_size and the event length are sizeof(phoneme_data). Fields that the
 * server's payload ends before are 0. */
typedef struct phoneme_data {
  char* phoneme;
  uint32_t phone_length_in_bytes;
  char* next_phoneme;
  uint32_t sample_rate;
  uint32_t sapi_viseme;
  uint32_t disney_viseme;
  uint32_t stress;
  uint32_t sapi_phoneid;
  uint32_t next_sapi_phoneid;
  uint32_t next_sapi_viseme;
  uint32_t struct_size;
} phoneme_data;

/* Event callback: returns OV_SUCCESS to go on; anything else, or a C++
 * exception thrown from it, stops the current request (see Failed requests).
 * Its result for PACKET_THREAD_FINISHED is ignored. There is no stdcall
 * convention on this platform: the "Pascal" callback has the same convention
 * and is used only while no EVENT_CALLBACK is set. */
typedef int (*EVENT_CALLBACK)(void* user_data, int type, void* data, long length);
typedef int (*PASCAL_EVENT_CALLBACK)(void* user_data, int type, void* data, long length);

/* Connections
 *
 * ovCreateConnection makes a connection that is not yet open and returns
 * its handle; OV_ERROR only when memory runs out. It does not touch the
 * network.
 *
 * ovOpenConnection resolves host (a name or a dotted IPv4 address; IPv4
 * only) and connects to port. On an open connection the new server replaces
 * the old one once it is connected: the old one is sent PACKET_CLOSE and
 * closed; if the new one fails, the old one stays open. Returns OV_SUCCESS;
 * OV_BAD_HANDLE; OV_CONNECT_FAILED when host is NULL, port is outside 1 to
 * 65535, host cannot be resolved or the connect fails; OV_BUSY inside this
 * connection's callback. Blocks for the name look-up and the connect, for at
 * most about 500 ms closing an old connection, and while another thread's
 * request holds the connection.
 *
 * ovCloseConnection sends PACKET_CLOSE and closes the socket; the handle
 * stays and can be opened again. Returns OV_SUCCESS; OV_BAD_HANDLE;
 * OV_SEND_FAILED when the connection is not open or the close frame cannot
 * be sent (the socket is then left as it is). Blocks while another thread's
 * request, an asynchronous render included, holds the connection, then for
 * at most about 500 ms while closing.
 *
 * ovDestroyConnection closes the connection as ovCloseConnection does and
 * frees it and its handle. Returns OV_SUCCESS, also for an unknown handle and
 * for a connection that is not open; OV_ERROR only when memory runs out.
 * Blocks as ovCloseConnection; it waits for a running request to end rather
 * than stopping it (ovCancelRequest stops it). Called inside the callback, it
 * makes the running request fail.
 *
 * None of the four prints anything. */
OV_EXPORT CONNECTION_HANDLE ovCreateConnection(void);
OV_EXPORT int ovOpenConnection(CONNECTION_HANDLE handle, const char* host, int port);
OV_EXPORT int ovCloseConnection(CONNECTION_HANDLE handle);
OV_EXPORT int ovDestroyConnection(CONNECTION_HANDLE handle);

/* Callback and user data: ovSetCallBack stores the callback (NULL removes
 * it), ovSetPascalCallBack the one used while no EVENT_CALLBACK is set, and
 * ovSetUserData the pointer passed as the callback's first argument. They
 * take no lock and never block; a change made while a request runs applies
 * from its next event. The settings outlive ovOpenConnection,
 * ovCloseConnection and ovCancelRequest. Return OV_SUCCESS or OV_BAD_HANDLE;
 * print nothing. */
OV_EXPORT int ovSetCallBack(CONNECTION_HANDLE handle, EVENT_CALLBACK callback);
OV_EXPORT int ovSetPascalCallBack(CONNECTION_HANDLE handle, PASCAL_EVENT_CALLBACK callback);
OV_EXPORT int ovSetUserData(CONNECTION_HANDLE handle, void* user_data);

/* Rendering
 *
 * Every render reads its text as markup: each plain function and its XML
 * twin are the same call. Elements and references are kept; a '<' that does
 * not begin a tag and an '&' that does not begin a reference are sent
 * escaped; broken markup is repaired. Literal text holding '<' or '&' must
 * therefore be written with &lt; and &amp;. The
 * connection's tokeniser passes the text on in pieces, each sent as a frame
 * whose answer is awaited. A voice element, <voice name='NAME'> (the quote
 * right after '=', no blank around it), ends the text before it as a request
 * of its own and has the server switch to voice NAME; its end tag ends the
 * text again and switches nothing back. A voice start tag with a blank
 * before or after the '=' of name also ends the text so far, but switches
 * nothing.
 *
 * ovRenderSpeech, ovRenderSpeechXML: one request. The pieces go out, the
 * last with the final mark, then an empty PACKET_TEXT, and the call waits
 * for the server to end the request. Text pushed and not yet flushed comes
 * first, as part of the request. Returns OV_SUCCESS; OV_ERROR for NULL text
 * or when the last wait fails; OV_BAD_HANDLE; OV_SEND_FAILED when the
 * connection is not open or a frame cannot be sent; OV_CANCELLED when the
 * request was stopped (see Failed requests); OV_BUSY inside this
 * connection's callback. Blocks until the server has answered everything,
 * and first while another thread's request holds the connection.
 *
 * ovPushSpeechStream, ovPushSpeechStreamXML: add text to the request being
 * built. The tokeniser holds back the last 4096 bytes of the text pushed so
 * far until more text or the flush comes, so a short push may send nothing;
 * each piece that goes out is answered during the push that sends it, and a
 * push never waits for the end of the whole request. Returns the codes of
 * ovRenderSpeech but OV_ERROR only for NULL text, and OV_SUCCESS also when
 * nothing had to be sent.
 *
 * ovFlushSpeechStream, ovFlushSpeechStreamXML: end the request built by
 * pushes, as ovRenderSpeech of an empty text does, with its codes.
 *
 * ovRenderSpeechAsync, ovRenderSpeechXMLAsync: render a copy of text as
 * ovRenderSpeech does, on a new worker thread; events and the
 * PACKET_THREAD_FINISHED event carrying the render's code reach the
 * callback on that thread. After pushes that have already sent a piece,
 * ovRenderSpeechAsync first ends the pushed text as a request of its own,
 * while ovRenderSpeechXMLAsync, like ovRenderSpeech, ends it with its text;
 * otherwise the two are the same. Return OV_SUCCESS once the worker has
 * taken the connection and begun the render: a request the calling thread
 * makes next reaches the server after it, and an ovCancelRequest made from
 * then on stops it (OV_CANCELLED in its PACKET_THREAD_FINISHED event);
 * OV_BAD_HANDLE; OV_ERROR for NULL text, when no thread can be
 * started, or when the call reached a connection that a destroy or a
 * cancel on another thread is taking away; OV_BUSY while an earlier asynchronous render of the connection
 * is running, and inside this connection's callback. Block until the worker
 * has taken the connection, so also while another thread's synchronous
 * request holds it.
 *
 * ovCancelRequest stops the request running on the connection: it sets the
 * quit flag, and the request delivers no more events and returns
 * OV_CANCELLED (an asynchronous one in its PACKET_THREAD_FINISHED event);
 * no more of its text is sent, its answers are dropped. Inside this
 * connection's callback that is all: it returns OV_SUCCESS at once, the
 * connection stays, and the flag stays set until the next render, push,
 * flush or asynchronous start. On any other thread it waits for the request
 * to end (an asynchronous one with its PACKET_THREAD_FINISHED event),
 * closes the connection as ovCloseConnection does, puts a new
 * connection under the same handle with the same callbacks and user data
 * (text pushed and not flushed is dropped) and connects it to the same host
 * and port; it blocks for all of that. Returns OV_SUCCESS, also when nothing
 * was running; OV_BAD_HANDLE, printing "WARNING: bad handle.\n", also
 * when another thread destroys the handle while the cancel runs;
 * OV_SEND_FAILED when the connection is not open or the close frame cannot
 * be sent, printing "WARNING: could not close the connection!\n", without
 * reconnecting; OV_CONNECT_FAILED when the new connection cannot connect
 * (the handle then holds it unopened; ovOpenConnection can open it). A
 * render, push, flush or asynchronous render on the same handle that begins
 * while a cancel runs on another thread is stopped too (OV_CANCELLED),
 * unless it reaches the new connection; a query then may still reach the
 * old one.
 *
 * The render functions print nothing on standard output. */
OV_EXPORT int ovRenderSpeech(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovRenderSpeechXML(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovPushSpeechStream(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovPushSpeechStreamXML(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovFlushSpeechStream(CONNECTION_HANDLE handle);
OV_EXPORT int ovFlushSpeechStreamXML(CONNECTION_HANDLE handle);
OV_EXPORT int ovRenderSpeechAsync(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovRenderSpeechXMLAsync(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovCancelRequest(CONNECTION_HANDLE handle);

/* Queries and voice selection
 *
 * ovQueryServer sends xml as it is (not tokenised, not checked) in one
 * PACKET_XML frame with its NUL, at most 63999 bytes before the NUL, and
 * waits for the server to end the request; the replies arrive as PACKET_XML
 * events. The server answers <voice name="all"/> with its voice list and
 * <voice name='NAME' select='1'/> by switching to voice NAME; other queries
 * are the server's own. It does not clear the quit flag, which a request
 * leaves set when it was cancelled inside the callback or stopped while a
 * piece of its text was answered (the first column of Failed requests,
 * also on the worker of an asynchronous render): until the next render,
 * push, flush or asynchronous start it then returns OV_CANCELLED as soon as
 * it has sent, and ovSetVoice and ovEnumerateConnectionVoices find no
 * voices. Returns OV_SUCCESS; OV_ERROR for NULL xml or when the wait fails;
 * OV_BAD_HANDLE; OV_SEND_FAILED when the connection is not open, xml is too
 * long or the send fails; OV_CANCELLED; OV_BUSY inside this connection's
 * callback. Blocks as a render.
 *
 * ovSetVoiceFast sends <voice name='NAME' select='1'/>, with the name put in
 * as given, through ovQueryServer and returns its code (OV_ERROR for a NULL
 * name), without looking at the voice list. Any code but OV_SUCCESS prints
 * "WARNING: Tervane query failed, the voice has not been switched\n".
 *
 * ovSetVoice first fetches the voice list as ovEnumerateConnectionVoices
 * does and sends the same select query, with ', & and < in the name written
 * as references, only when a voice of exactly that name (case included) is
 * listed: two queries. Returns OV_SUCCESS, or OV_ERROR for every failure,
 * printing "WARNING: failed to set voice. Using default instead\n" for a
 * NULL name or an unknown handle, "WARNING: voice was not found. Using
 * default instead\n" when the name is not listed (also when the list could
 * not be had), "WARNING: Tervane query failed, the voice has not been
 * switched\n" when the select query fails, and "WARNING: failed to close
 * voice enumerator\n" when its enumerator cannot be closed.
 *
 * The replies to select queries reach the callback; the voice list does
 * not. */
OV_EXPORT int ovQueryServer(CONNECTION_HANDLE handle, const char* xml);
OV_EXPORT int ovSetVoiceFast(CONNECTION_HANDLE handle, const char* voice);
OV_EXPORT int ovSetVoice(CONNECTION_HANDLE handle, const char* voice);

/* Voice enumeration
 *
 * ovEnumerateConnectionVoices queries the server for <voice name="all"/> as
 * ovQueryServer does (the reply does not reach the callback) and keeps the
 * name and attributes of every voice element of the reply, at any depth, in
 * document order, in a new enumerator: a snapshot that never talks to the
 * server again. Returns the enumerator's handle, also when the query failed
 * or the reply holds no voices (the enumerator is then empty);
 * OV_BAD_HANDLE for an unknown connection; OV_ERROR when memory runs out.
 * Blocks as a query.
 *
 * ovNumVoices: the number of voices, or OV_BAD_HANDLE.
 * ovNextVoice: the next voice's name, which becomes the current voice; NULL
 *   past the end (the last voice stays current) and for an unknown handle.
 * ovRewindEnumerator: back to the start, with no current voice until the
 *   next ovNextVoice; OV_SUCCESS or OV_BAD_HANDLE.
 * ovGetVoiceStringValue: the current voice's attribute for keys 3 to 16, ""
 *   when the voice element lacks it; NULL for an unknown handle, without a
 *   current voice or for another key.
 * ovGetVoiceIntegerValue: the current voice's sample rate (key 1) or sample
 *   bits (key 2), read as decimal digits with an optional sign after any
 *   leading white space (" 42" gives 42; 0 when there are no digits or the
 *   value is outside 32 bits); OV_BAD_HANDLE;
 *   OV_NO_VOICE without a current voice, whatever the key; OV_BAD_KEY for
 *   another key.
 * ovCloseEnumerator frees the enumerator and its handle; OV_SUCCESS, also
 *   for an unknown handle; OV_ERROR only when memory runs out.
 *
 * The strings returned by ovNextVoice and ovGetVoiceStringValue belong to
 * the enumerator and stay valid until it is closed. Apart from
 * ovEnumerateConnectionVoices these functions do not block and print
 * nothing. */
OV_EXPORT ENUMERATOR_HANDLE ovEnumerateConnectionVoices(CONNECTION_HANDLE handle);
OV_EXPORT int ovNumVoices(ENUMERATOR_HANDLE enumerator);
OV_EXPORT const char* ovNextVoice(ENUMERATOR_HANDLE enumerator);
OV_EXPORT int ovRewindEnumerator(ENUMERATOR_HANDLE enumerator);
OV_EXPORT const char* ovGetVoiceStringValue(ENUMERATOR_HANDLE enumerator, int key);
OV_EXPORT int ovGetVoiceIntegerValue(ENUMERATOR_HANDLE enumerator, int key);
OV_EXPORT int ovCloseEnumerator(ENUMERATOR_HANDLE enumerator);

/* G.711 sample encoders: one 16-bit signed sample (as in PACKET_AUDIO data)
 * to one mu-law or A-law byte; magnitudes above 32635 are clipped. Pure
 * functions: no handle, no lock, no output. */
OV_EXPORT unsigned char ovSampleToUlaw(short sample);
OV_EXPORT unsigned char ovSampleToAlaw(short sample);

#ifdef __cplusplus
}
#endif

#endif
