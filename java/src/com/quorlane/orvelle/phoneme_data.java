package com.quorlane.orvelle;

/**
 * The record of a phoneme event. OrvelleCallback.OrvelleDataToPhoneme gives
 * a copy that Java owns, readable after the callback has returned.
 */
public class phoneme_data {
  private final NativeRef ref;

  protected phoneme_data(long cPtr, boolean cMemoryOwn) {
    ref = NativeRef.of(this, cPtr, cMemoryOwn, orvelleJNI::delete_phoneme_data);
  }

  public phoneme_data() {
    this(orvelleJNI.new_phoneme_data(), true);
  }

  public static long getCPtr(phoneme_data obj) {
    return (obj == null) ? 0 : obj.ref.address();
  }

  public void delete() {
    ref.run();
  }

  public void setPhoneme(String value) {
    orvelleJNI.phoneme_data_phoneme_set(ref.address(), this, value);
  }

  public String getPhoneme() {
    return orvelleJNI.phoneme_data_phoneme_get(ref.address(), this);
  }

  public void setPhone_length_in_bytes(long value) {
    orvelleJNI.phoneme_data_phone_length_in_bytes_set(ref.address(), this, value);
  }

  public long getPhone_length_in_bytes() {
    return orvelleJNI.phoneme_data_phone_length_in_bytes_get(ref.address(), this);
  }

  public void setNext_phoneme(String value) {
    orvelleJNI.phoneme_data_next_phoneme_set(ref.address(), this, value);
  }

  public String getNext_phoneme() {
    return orvelleJNI.phoneme_data_next_phoneme_get(ref.address(), this);
  }

  public void setSample_rate(long value) {
    orvelleJNI.phoneme_data_sample_rate_set(ref.address(), this, value);
  }

  public long getSample_rate() {
    return orvelleJNI.phoneme_data_sample_rate_get(ref.address(), this);
  }

  public void setSapi_viseme(long value) {
    orvelleJNI.phoneme_data_sapi_viseme_set(ref.address(), this, value);
  }

  public long getSapi_viseme() {
    return orvelleJNI.phoneme_data_sapi_viseme_get(ref.address(), this);
  }

  public void setDisney_viseme(long value) {
    orvelleJNI.phoneme_data_disney_viseme_set(ref.address(), this, value);
  }

  public long getDisney_viseme() {
    return orvelleJNI.phoneme_data_disney_viseme_get(ref.address(), this);
  }

  public void setStress(long value) {
    orvelleJNI.phoneme_data_stress_set(ref.address(), this, value);
  }

  public long getStress() {
    return orvelleJNI.phoneme_data_stress_get(ref.address(), this);
  }

  public void setSapi_phoneid(long value) {
    orvelleJNI.phoneme_data_sapi_phoneid_set(ref.address(), this, value);
  }

  public long getSapi_phoneid() {
    return orvelleJNI.phoneme_data_sapi_phoneid_get(ref.address(), this);
  }

  public void setNext_sapi_phoneid(long value) {
    orvelleJNI.phoneme_data_next_sapi_phoneid_set(ref.address(), this, value);
  }

  public long getNext_sapi_phoneid() {
    return orvelleJNI.phoneme_data_next_sapi_phoneid_get(ref.address(), this);
  }

  public void setNext_sapi_viseme(long value) {
    orvelleJNI.phoneme_data_next_sapi_viseme_set(ref.address(), this, value);
  }

  public long getNext_sapi_viseme() {
    return orvelleJNI.phoneme_data_next_sapi_viseme_get(ref.address(), this);
  }

  public void setStruct_size(long value) {
    orvelleJNI.phoneme_data_struct_size_set(ref.address(), this, value);
  }

  public long getStruct_size() {
    return orvelleJNI.phoneme_data_struct_size_get(ref.address(), this);
  }
}
