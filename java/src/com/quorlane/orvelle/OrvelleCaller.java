package com.quorlane.orvelle;

/**
 * Installs a callback object on a connection and owns it from then on. The
 * callback stays installed until another one is set, delOrvelleCallback() is
 * called or the caller is deleted; delete() the caller explicitly.
 */
public class OrvelleCaller {
  private final NativeRef ref;

  public OrvelleCaller() {
    // No cleaner: an unreachable caller must not take its callback off a
    // connection that is still rendering.
    ref = NativeRef.of(this, orvelleJNI.new_OrvelleCaller(), true, null);
  }

  public static long getCPtr(OrvelleCaller obj) {
    return (obj == null) ? 0 : obj.ref.address();
  }

  /** Takes the held callback off its connection and frees both. */
  public synchronized void delete() {
    long address = ref.address();
    ref.forget();
    if (address != 0) {
      orvelleJNI.delete_OrvelleCaller(address);
    }
  }

  public void setOrvelleCallback(OrvelleCallback callback, int handle) {
    if (callback != null) {
      callback.swigReleaseOwnership();
    }
    orvelleJNI.OrvelleCaller_setOrvelleCallback(ref.address(), this, OrvelleCallback.getCPtr(callback), callback, handle);
  }

  public void delOrvelleCallback() {
    orvelleJNI.OrvelleCaller_delOrvelleCallback(ref.address(), this);
  }
}
