/* Public C interface of the Orvelle speech server client.
 *
 * A host creates a connection handle, opens it to a speech server, sets an
 * event callback and renders text or markup; audio and events arrive through
 * the callback until the server ends the request. */
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

/* Handles issued by the two registries; the first of each is 1000. */
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

/* Packet types on the wire and event types given to the callback. */
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
  PACKET_THREAD_FINISHED = 14, /* local event only, never on the wire; data is
                                  NULL and length the render's return code */
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
 * struct_size and the event length are sizeof(phoneme_data). */
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

/* Event callback: returns OV_SUCCESS to go on, anything else stops the
 * delivery of the rest of the current request. The data pointer is valid
 * only during the call. There is no stdcall convention on this platform:
 * the "Pascal" callback has the same convention and is used only while no
 * EVENT_CALLBACK is set. */
typedef int (*EVENT_CALLBACK)(void* user_data, int type, void* data, long length);
typedef int (*PASCAL_EVENT_CALLBACK)(void* user_data, int type, void* data, long length);

/* Connections */
OV_EXPORT CONNECTION_HANDLE ovCreateConnection(void);
OV_EXPORT int ovOpenConnection(CONNECTION_HANDLE handle, const char* host, int port);
OV_EXPORT int ovCloseConnection(CONNECTION_HANDLE handle);
OV_EXPORT int ovDestroyConnection(CONNECTION_HANDLE handle);

/* Callback and user data */
OV_EXPORT int ovSetCallBack(CONNECTION_HANDLE handle, EVENT_CALLBACK callback);
OV_EXPORT int ovSetPascalCallBack(CONNECTION_HANDLE handle, PASCAL_EVENT_CALLBACK callback);
OV_EXPORT int ovSetUserData(CONNECTION_HANDLE handle, void* user_data);

/* Rendering: whole requests, streams and asynchronous renders */
OV_EXPORT int ovRenderSpeech(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovRenderSpeechXML(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovPushSpeechStream(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovPushSpeechStreamXML(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovFlushSpeechStream(CONNECTION_HANDLE handle);
OV_EXPORT int ovFlushSpeechStreamXML(CONNECTION_HANDLE handle);
OV_EXPORT int ovRenderSpeechAsync(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovRenderSpeechXMLAsync(CONNECTION_HANDLE handle, const char* text);
OV_EXPORT int ovCancelRequest(CONNECTION_HANDLE handle);

/* Queries and voice selection */
OV_EXPORT int ovQueryServer(CONNECTION_HANDLE handle, const char* xml);
OV_EXPORT int ovSetVoiceFast(CONNECTION_HANDLE handle, const char* voice);
OV_EXPORT int ovSetVoice(CONNECTION_HANDLE handle, const char* voice);

/* Voice enumeration */
OV_EXPORT ENUMERATOR_HANDLE ovEnumerateConnectionVoices(CONNECTION_HANDLE handle);
OV_EXPORT int ovNumVoices(ENUMERATOR_HANDLE enumerator);
OV_EXPORT const char* ovNextVoice(ENUMERATOR_HANDLE enumerator);
OV_EXPORT int ovRewindEnumerator(ENUMERATOR_HANDLE enumerator);
OV_EXPORT const char* ovGetVoiceStringValue(ENUMERATOR_HANDLE enumerator, int key);
OV_EXPORT int ovGetVoiceIntegerValue(ENUMERATOR_HANDLE enumerator, int key);
OV_EXPORT int ovCloseEnumerator(ENUMERATOR_HANDLE enumerator);

/* G.711 sample encoders */
OV_EXPORT unsigned char ovSampleToUlaw(short sample);
OV_EXPORT unsigned char ovSampleToAlaw(short sample);

#ifdef __cplusplus
}
#endif

#endif
