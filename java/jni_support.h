// Conversions between Java values and the C interface's values.
#ifndef ORVELLE_JAVA_JNI_SUPPORT_H
#define ORVELLE_JAVA_JNI_SUPPORT_H

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvelle_java {

// Addresses travel to and from Java as full 64-bit longs.
template <typename T>
T* from_jlong(jlong address) {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}
inline jlong to_jlong(const void* pointer) {
  return static_cast<jlong>(reinterpret_cast<std::uintptr_t>(pointer));
}

// UTF-16 <-> UTF-8; unpaired surrogates and malformed bytes become U+FFFD.
// U+0000 is written C0 80, as in the virtual machine's modified UTF-8, so
// that a NUL-terminated argument keeps every character after it; C0 80 reads
// back as U+0000.
std::string utf16_to_utf8(std::u16string_view text);
std::u16string utf8_to_utf16(std::string_view bytes);

// A Java string argument as NUL-terminated UTF-8. ok is false when the
// characters could not be had; a Java exception is then pending.
struct StringArg {
  bool ok = true;
  bool is_null = true;
  std::string bytes;
  const char* c_str() const { return is_null ? nullptr : bytes.c_str(); }
};
StringArg string_arg(JNIEnv* env, jstring value);

// A new Java string from UTF-8 bytes; null for a null pointer.
jstring new_java_string(JNIEnv* env, const char* bytes, std::size_t length);
jstring new_java_string(JNIEnv* env, const char* text);

// Throws a Java exception of the named class unless one is pending.
void throw_java(JNIEnv* env, const char* class_name, const std::string& message);

}  // namespace orvelle_java

#endif
