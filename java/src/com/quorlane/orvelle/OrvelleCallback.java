package com.quorlane.orvelle;

/**
 * Receives a connection's events: subclass it and override run(). The event
 * data is readable through the OrvelleDataTo helpers only while run() runs.
 * run() returns nothing: a callback cannot stop a request.
 */
public class OrvelleCallback {
  private final NativeRef ref;

  public OrvelleCallback() {
    long address = orvelleJNI.new_OrvelleCallback();
    ref = NativeRef.of(this, address, true, orvelleJNI::delete_OrvelleCallback);
    orvelleJNI.OrvelleCallback_director_connect(this, address, true, true);
  }

  public static long getCPtr(OrvelleCallback obj) {
    return (obj == null) ? 0 : obj.ref.address();
  }

  /** Frees the native object unless an OrvelleCaller holds it. */
  public void delete() {
    ref.run();
  }

  /** Called by the native side when it frees the object. */
  protected void swigDirectorDisconnect() {
    ref.forget();
  }

  /** The native side takes over the object and keeps this one alive. */
  public void swigReleaseOwnership() {
    ref.disown();
    orvelleJNI.OrvelleCallback_change_ownership(this, ref.address(), false);
  }

  public void run(PACKET_TYPE type, SWIGTYPE_p_void data, int length) {
    // Only the base class itself reaches the native run: a subclass calling
    // super.run() must not be dispatched back to its own override.
    if (getClass() == OrvelleCallback.class) {
      orvelleJNI.OrvelleCallback_run(ref.address(), this, type.swigValue(), SWIGTYPE_p_void.getCPtr(data), length);
    } else {
      orvelleJNI.OrvelleCallback_runSwigExplicitOrvelleCallback(
          ref.address(), this, type.swigValue(), SWIGTYPE_p_void.getCPtr(data), length);
    }
  }

  /** The index-th 16-bit sample of an audio event. */
  public short OrvelleDataToShort(SWIGTYPE_p_void data, int index) {
    return orvelleJNI.OrvelleCallback_OrvelleDataToShort(ref.address(), this, SWIGTYPE_p_void.getCPtr(data), index);
  }

  /** The text of a word, bookmark, spurt or XML-reply event. */
  public String OrvelleDataToString(SWIGTYPE_p_void data) {
    return orvelleJNI.OrvelleCallback_OrvelleDataToString(ref.address(), this, SWIGTYPE_p_void.getCPtr(data));
  }

  /**
   * A copy of the record of a phoneme event, names included: it stays
   * readable after run() returns and is freed by delete() or once it is
   * unreachable.
   */
  public phoneme_data OrvelleDataToPhoneme(SWIGTYPE_p_void data) {
    long address = orvelleJNI.OrvelleCallback_OrvelleDataToPhoneme(ref.address(), this, SWIGTYPE_p_void.getCPtr(data));
    return (address == 0) ? null : new phoneme_data(address, true);
  }
}
