package com.quorlane.orvelle;

/** Packet types on the wire and event types given to a callback. */
public enum PACKET_TYPE {
  PACKET_TEXT(1),
  PACKET_PHONEME(3),
  PACKET_SPURT(6),
  PACKET_WORD(8),
  PACKET_BOOKMARK(9),
  PACKET_AUDIO(10),
  PACKET_END(11),
  PACKET_CLOSE(12),
  PACKET_XML(13),
  PACKET_THREAD_FINISHED(14),
  PACKET_TEXT_STREAM(15);

  private final int swigValue;

  PACKET_TYPE(int value) {
    swigValue = value;
  }

  public final int swigValue() {
    return swigValue;
  }

  public static PACKET_TYPE swigToEnum(int value) {
    for (PACKET_TYPE type : values()) {
      if (type.swigValue == value) {
        return type;
      }
    }
    throw new IllegalArgumentException("No enum " + PACKET_TYPE.class + " with value " + value);
  }
}
