package com.quorlane.orvelle;

/** The native methods of liborvelle_java and the upcall of its callbacks. */
public class orvelleJNI {
  // phoneme_data records
  public static final native long new_phoneme_data();
  public static final native void delete_phoneme_data(long cptr);
  public static final native void phoneme_data_phoneme_set(long cptr, phoneme_data self, String value);
  public static final native String phoneme_data_phoneme_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_phone_length_in_bytes_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_phone_length_in_bytes_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_next_phoneme_set(long cptr, phoneme_data self, String value);
  public static final native String phoneme_data_next_phoneme_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_sample_rate_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_sample_rate_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_sapi_viseme_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_sapi_viseme_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_disney_viseme_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_disney_viseme_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_stress_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_stress_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_sapi_phoneid_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_sapi_phoneid_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_next_sapi_phoneid_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_next_sapi_phoneid_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_next_sapi_viseme_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_next_sapi_viseme_get(long cptr, phoneme_data self);
  public static final native void phoneme_data_struct_size_set(long cptr, phoneme_data self, long value);
  public static final native long phoneme_data_struct_size_get(long cptr, phoneme_data self);

  // Connections
  public static final native int ovCreateConnection();
  public static final native int ovOpenConnection(int handle, String host, int port);
  public static final native int ovCloseConnection(int handle);
  public static final native int ovSetCallBack(int handle, long callback);
  public static final native int ovSetPascalCallBack(int handle, long callback);
  public static final native int ovSetUserData(int handle, long userData);

  // Rendering
  public static final native int ovRenderSpeech(int handle, String text);
  public static final native int ovRenderSpeechXML(int handle, String text);
  public static final native int ovPushSpeechStream(int handle, String text);
  public static final native int ovPushSpeechStreamXML(int handle, String text);
  public static final native int ovFlushSpeechStream(int handle);
  public static final native int ovFlushSpeechStreamXML(int handle);
  public static final native int ovRenderSpeechAsync(int handle, String text);
  public static final native int ovRenderSpeechXMLAsync(int handle, String text);

  // Queries and voice selection
  public static final native int ovQueryServer(int handle, String xml);
  public static final native int ovSetVoice(int handle, String name);
  public static final native int ovSetVoiceFast(int handle, String name);

  // Voice enumeration
  public static final native int ovEnumerateConnectionVoices(int handle);
  public static final native String ovNextVoice(int enumerator);
  public static final native int ovRewindEnumerator(int enumerator);
  public static final native int ovCloseEnumerator(int enumerator);
  public static final native String ovGetVoiceStringValue(int enumerator, int key);
  public static final native int ovGetVoiceIntegerValue(int enumerator, int key);
  public static final native int ovNumVoices(int enumerator);

  // G.711 sample encoders
  public static final native short ovSampleToAlaw(short sample);
  public static final native short ovSampleToUlaw(short sample);

  // Callbacks
  public static final native short OrvelleCallback_OrvelleDataToShort(long cptr, OrvelleCallback self, long data, int index);
  public static final native String OrvelleCallback_OrvelleDataToString(long cptr, OrvelleCallback self, long data);
  public static final native long OrvelleCallback_OrvelleDataToPhoneme(long cptr, OrvelleCallback self, long data);
  public static final native long new_OrvelleCallback();
  public static final native void delete_OrvelleCallback(long cptr);
  public static final native void OrvelleCallback_run(long cptr, OrvelleCallback self, int type, long data, int length);
  public static final native void OrvelleCallback_runSwigExplicitOrvelleCallback(
      long cptr, OrvelleCallback self, int type, long data, int length);
  public static final native void OrvelleCallback_director_connect(
      OrvelleCallback self, long cptr, boolean memOwn, boolean weakGlobal);
  public static final native void OrvelleCallback_change_ownership(OrvelleCallback self, long cptr, boolean takeOrRelease);
  public static final native int _java_orvelle_callback(long userData, int type, long data, int length);
  public static final native long new_OrvelleCaller();
  public static final native void delete_OrvelleCaller(long cptr);
  public static final native void OrvelleCaller_delOrvelleCallback(long cptr, OrvelleCaller self);
  public static final native void OrvelleCaller_setOrvelleCallback(
      long cptr, OrvelleCaller self, long callback, OrvelleCallback callbackObj, int handle);

  // Called by the native side for every event of a callback whose class
  // overrides run().
  public static void SwigDirector_OrvelleCallback_run(OrvelleCallback jself, int type, long data, int length) {
    jself.run(PACKET_TYPE.swigToEnum(type), (data == 0) ? null : new SWIGTYPE_p_void(data, false), length);
  }

  private static final native void swig_module_init();

  static {
    System.loadLibrary("orvelle_java");
    swig_module_init();
  }
}
