// Native methods of com.quorlane.orvelle.orvelleJNI: the phoneme_data
// accessors and one method per exported ov function but ovDestroyConnection
// and ovCancelRequest. The callback natives live in callback_bridge.cpp.
#include <jni.h>

#include <cstdlib>
#include <cstring>

#include "client/orvelle.h"
#include "java/jni_support.h"

using namespace orvelle_java;

namespace {

phoneme_data* record(jlong cptr) { return from_jlong<phoneme_data>(cptr); }

// Runs f with the string argument, or returns 0 without calling the library
// when its characters cannot be had.
template <typename F>
jint with_string(JNIEnv* env, jstring value, F f) {
  const StringArg arg = string_arg(env, value);
  if (!arg.ok) return 0;
  return f(arg.c_str());
}

// A new NUL-terminated copy for a name field; false when no memory.
bool copy_name(JNIEnv* env, jstring value, char*& field) {
  if (value == nullptr) {
    field = nullptr;
    return true;
  }
  const StringArg arg = string_arg(env, value);
  if (!arg.ok) return false;
  auto* copy = static_cast<char*>(std::malloc(arg.bytes.size() + 1));
  if (copy == nullptr) {
    throw_java(env, "java/lang/OutOfMemoryError", "no memory for a phoneme name");
    return false;
  }
  std::memcpy(copy, arg.bytes.c_str(), arg.bytes.size() + 1);
  // The previous name may point into a received packet: it is not freed.
  field = copy;
  return true;
}

}  // namespace

#define ORVELLE_NUMBER_FIELD(field, mangled)                                                     \
  JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1##mangled##_1set( \
      JNIEnv*, jclass, jlong cptr, jobject, jlong value) {                                       \
    if (phoneme_data* r = record(cptr)) r->field = static_cast<uint32_t>(value);                 \
  }                                                                                              \
  JNIEXPORT jlong JNICALL Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1##mangled##_1get( \
      JNIEnv*, jclass, jlong cptr, jobject) {                                                    \
    const phoneme_data* r = record(cptr);                                                        \
    return r != nullptr ? static_cast<jlong>(r->field) : 0;                                      \
  }

#define ORVELLE_NAME_FIELD(field, mangled)                                                       \
  JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1##mangled##_1set( \
      JNIEnv* env, jclass, jlong cptr, jobject, jstring value) {                                 \
    if (phoneme_data* r = record(cptr)) copy_name(env, value, r->field);                         \
  }                                                                                              \
  JNIEXPORT jstring JNICALL Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1##mangled##_1get( \
      JNIEnv* env, jclass, jlong cptr, jobject) {                                                \
    const phoneme_data* r = record(cptr);                                                        \
    return r != nullptr ? new_java_string(env, r->field) : nullptr;                              \
  }

extern "C" {

// phoneme_data records

JNIEXPORT jlong JNICALL Java_com_quorlane_orvelle_orvelleJNI_new_1phoneme_1data(JNIEnv* env, jclass) {
  void* r = std::calloc(1, sizeof(phoneme_data));
  if (r == nullptr) throw_java(env, "java/lang/OutOfMemoryError", "no memory for a phoneme_data record");
  return to_jlong(r);
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_delete_1phoneme_1data(JNIEnv*, jclass, jlong cptr) {
  std::free(record(cptr));
}

ORVELLE_NAME_FIELD(phoneme, phoneme)
ORVELLE_NAME_FIELD(next_phoneme, next_1phoneme)
ORVELLE_NUMBER_FIELD(phone_length_in_bytes, phone_1length_1in_1bytes)
ORVELLE_NUMBER_FIELD(sample_rate, sample_1rate)
ORVELLE_NUMBER_FIELD(sapi_viseme, sapi_1viseme)
ORVELLE_NUMBER_FIELD(disney_viseme, disney_1viseme)
ORVELLE_NUMBER_FIELD(stress, stress)
ORVELLE_NUMBER_FIELD(sapi_phoneid, sapi_1phoneid)
ORVELLE_NUMBER_FIELD(next_sapi_phoneid, next_1sapi_1phoneid)
ORVELLE_NUMBER_FIELD(next_sapi_viseme, next_1sapi_1viseme)
ORVELLE_NUMBER_FIELD(struct_size, struct_1size)

// Connections

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovCreateConnection(JNIEnv*, jclass) {
  return ovCreateConnection();
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovOpenConnection(JNIEnv* env, jclass, jint handle,
                                                                              jstring host, jint port) {
  return with_string(env, host, [&](const char* h) { return ovOpenConnection(handle, h, port); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovCloseConnection(JNIEnv*, jclass, jint handle) {
  return ovCloseConnection(handle);
}

// Callback and user data

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovSetCallBack(JNIEnv*, jclass, jint handle,
                                                                           jlong callback) {
  return ovSetCallBack(handle, reinterpret_cast<EVENT_CALLBACK>(static_cast<std::uintptr_t>(callback)));
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovSetPascalCallBack(JNIEnv*, jclass, jint handle,
                                                                                 jlong callback) {
  return ovSetPascalCallBack(handle,
                             reinterpret_cast<PASCAL_EVENT_CALLBACK>(static_cast<std::uintptr_t>(callback)));
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovSetUserData(JNIEnv*, jclass, jint handle,
                                                                           jlong user_data) {
  return ovSetUserData(handle, from_jlong<void>(user_data));
}

// Rendering

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovRenderSpeech(JNIEnv* env, jclass, jint handle,
                                                                            jstring text) {
  return with_string(env, text, [&](const char* t) { return ovRenderSpeech(handle, t); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovRenderSpeechXML(JNIEnv* env, jclass, jint handle,
                                                                               jstring text) {
  return with_string(env, text, [&](const char* t) { return ovRenderSpeechXML(handle, t); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovPushSpeechStream(JNIEnv* env, jclass,
                                                                                jint handle, jstring text) {
  return with_string(env, text, [&](const char* t) { return ovPushSpeechStream(handle, t); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovPushSpeechStreamXML(JNIEnv* env, jclass,
                                                                                   jint handle, jstring text) {
  return with_string(env, text, [&](const char* t) { return ovPushSpeechStreamXML(handle, t); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovFlushSpeechStream(JNIEnv*, jclass, jint handle) {
  return ovFlushSpeechStream(handle);
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovFlushSpeechStreamXML(JNIEnv*, jclass,
                                                                                    jint handle) {
  return ovFlushSpeechStreamXML(handle);
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovRenderSpeechAsync(JNIEnv* env, jclass,
                                                                                 jint handle, jstring text) {
  return with_string(env, text, [&](const char* t) { return ovRenderSpeechAsync(handle, t); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovRenderSpeechXMLAsync(JNIEnv* env, jclass,
                                                                                    jint handle, jstring text) {
  return with_string(env, text, [&](const char* t) { return ovRenderSpeechXMLAsync(handle, t); });
}

// Queries and voice selection

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovQueryServer(JNIEnv* env, jclass, jint handle,
                                                                           jstring xml) {
  return with_string(env, xml, [&](const char* x) { return ovQueryServer(handle, x); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovSetVoice(JNIEnv* env, jclass, jint handle,
                                                                        jstring name) {
  return with_string(env, name, [&](const char* n) { return ovSetVoice(handle, n); });
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovSetVoiceFast(JNIEnv* env, jclass, jint handle,
                                                                            jstring name) {
  return with_string(env, name, [&](const char* n) { return ovSetVoiceFast(handle, n); });
}

// Voice enumeration

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovEnumerateConnectionVoices(JNIEnv*, jclass,
                                                                                         jint handle) {
  return ovEnumerateConnectionVoices(handle);
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovNumVoices(JNIEnv*, jclass, jint enumerator) {
  return ovNumVoices(enumerator);
}

JNIEXPORT jstring JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovNextVoice(JNIEnv* env, jclass, jint enumerator) {
  return new_java_string(env, ovNextVoice(enumerator));
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovRewindEnumerator(JNIEnv*, jclass, jint enumerator) {
  return ovRewindEnumerator(enumerator);
}

JNIEXPORT jstring JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovGetVoiceStringValue(JNIEnv* env, jclass,
                                                                                      jint enumerator, jint key) {
  return new_java_string(env, ovGetVoiceStringValue(enumerator, key));
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovGetVoiceIntegerValue(JNIEnv*, jclass,
                                                                                    jint enumerator, jint key) {
  return ovGetVoiceIntegerValue(enumerator, key);
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovCloseEnumerator(JNIEnv*, jclass, jint enumerator) {
  return ovCloseEnumerator(enumerator);
}

// G.711 sample encoders

JNIEXPORT jshort JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovSampleToAlaw(JNIEnv*, jclass, jshort sample) {
  return ovSampleToAlaw(sample);
}

JNIEXPORT jshort JNICALL Java_com_quorlane_orvelle_orvelleJNI_ovSampleToUlaw(JNIEnv*, jclass, jshort sample) {
  return ovSampleToUlaw(sample);
}

}  // extern "C"
