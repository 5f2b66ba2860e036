package com.quorlane.orvelle;

/** An untyped native address: the data of an event. */
public class SWIGTYPE_p_void {
  private final long swigCPtr;

  protected SWIGTYPE_p_void(long cPtr, boolean futureUse) {
    swigCPtr = cPtr;
  }

  protected SWIGTYPE_p_void() {
    swigCPtr = 0;
  }

  protected static long getCPtr(SWIGTYPE_p_void obj) {
    return (obj == null) ? 0 : obj.swigCPtr;
  }
}
