#include "java/jni_support.h"

#include "foundation/utf8.h"

#include <cstring>
#include <new>

namespace orvelle_java {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

bool is_high_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Decodes one sequence at bytes[i]; returns its length (at least 1) and
// stores the character or U+FFFD for a malformed sequence.
std::size_t decode_utf8(std::string_view bytes, std::size_t i, char32_t& c) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  std::size_t count;
  char32_t min;
  if (lead < 0x80) {
    c = lead;
    return 1;
  } else if (lead == 0xC0 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) == 0x80) {
    c = 0;  // the virtual machine's own form of U+0000
    return 2;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    count = 2, min = 0x80, c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 3, min = 0x800, c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 4, min = 0x10000, c = lead & 0x07;
  } else {
    c = kReplacement;
    return 1;
  }
  std::size_t n = 1;
  for (; n < count; ++n) {
    if (i + n >= bytes.size()) break;
    const auto b = static_cast<unsigned char>(bytes[i + n]);
    if ((b & 0xC0) != 0x80) break;
    c = (c << 6) | (b & 0x3F);
  }
  if (n < count || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    c = kReplacement;
    return n;
  }
  return count;
}

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (is_high_surrogate(c) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
      c = kReplacement;
    }
    if (c == 0) {
      out += "\xC0\x80";
    } else {
      QLTP_utf8_append(out, static_cast<uint32_t>(c));
    }
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c;
    i += decode_utf8(bytes, i, c);
    append_utf16(out, c);
  }
  return out;
}

StringArg string_arg(JNIEnv* env, jstring value) {
  StringArg arg;
  if (value == nullptr) return arg;
  arg.is_null = false;
  try {
    std::u16string chars(static_cast<std::size_t>(env->GetStringLength(value)), u'\0');
    static_assert(sizeof(jchar) == sizeof(char16_t));
    env->GetStringRegion(value, 0, static_cast<jsize>(chars.size()),
                         reinterpret_cast<jchar*>(chars.data()));
    if (env->ExceptionCheck()) {
      arg.ok = false;
      return arg;
    }
    arg.bytes = utf16_to_utf8(chars);
  } catch (const std::bad_alloc&) {
    arg.ok = false;
    throw_java(env, "java/lang/OutOfMemoryError", "no memory for a string argument");
  }
  return arg;
}

jstring new_java_string(JNIEnv* env, const char* bytes, std::size_t length) {
  if (bytes == nullptr) return nullptr;
  try {
    const std::u16string chars = utf8_to_utf16(std::string_view(bytes, length));
    return env->NewString(reinterpret_cast<const jchar*>(chars.data()),
                          static_cast<jsize>(chars.size()));
  } catch (const std::bad_alloc&) {
    throw_java(env, "java/lang/OutOfMemoryError", "no memory for a string result");
    return nullptr;
  }
}

jstring new_java_string(JNIEnv* env, const char* text) {
  return text == nullptr ? nullptr : new_java_string(env, text, std::strlen(text));
}

void throw_java(JNIEnv* env, const char* class_name, const std::string& message) {
  if (env->ExceptionCheck()) return;
  jclass cls = env->FindClass(class_name);
  if (cls == nullptr) return;  // FindClass left its own error pending
  env->ThrowNew(cls, message.c_str());
  env->DeleteLocalRef(cls);
}

}  // namespace orvelle_java
