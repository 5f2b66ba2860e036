package com.quorlane.orvelle;

import java.lang.ref.Cleaner;
import java.util.function.LongConsumer;

/**
 * The address of a native object behind a proxy, and whether Java frees it.
 * An owned object is freed by an explicit delete() or, failing that, once its
 * proxy is unreachable.
 */
final class NativeRef implements Runnable {
  private static final Cleaner CLEANER = Cleaner.create();

  private volatile long address;
  private boolean owned;
  private final LongConsumer deleter;

  private NativeRef(long address, boolean owned, LongConsumer deleter) {
    this.address = address;
    this.owned = owned;
    this.deleter = deleter;
  }

  static NativeRef of(Object proxy, long address, boolean owned, LongConsumer deleter) {
    NativeRef ref = new NativeRef(address, owned, deleter);
    if (address != 0 && owned && deleter != null) {
      CLEANER.register(proxy, ref);
    }
    return ref;
  }

  long address() {
    return address;
  }

  /** The native side takes over the object. */
  synchronized void disown() {
    owned = false;
  }

  /** The native side has freed the object. */
  synchronized void forget() {
    address = 0;
    owned = false;
  }

  /** Frees the object if Java owns it; the proxy holds no address afterwards. */
  @Override
  public void run() {
    long toFree;
    synchronized (this) {
      toFree = owned ? address : 0;
      address = 0;
      owned = false;
    }
    if (toFree != 0 && deleter != null) {
      deleter.accept(toFree);
    }
  }
}
