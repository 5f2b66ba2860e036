#include "java/callback_bridge.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "client/registry.h"
#include "java/jni_support.h"

namespace orvelle_java {

namespace {

// Prints and clears a pending Java exception, if any.
void DescribeAndClear(JNIEnv* env) {
  if (!env->ExceptionCheck()) return;
  env->ExceptionDescribe();
  env->ExceptionClear();
}

// Takes the bridge off a connection.
void Uninstall(CONNECTION_HANDLE handle) {
  ovSetCallBack(handle, nullptr);
  ovSetUserData(handle, nullptr);
}

constexpr const char* kUpcallName = "SwigDirector_OrvelleCallback_run";
constexpr const char* kUpcallDescriptor = "(Lcom/quorlane/orvelle/OrvelleCallback;IJI)V";
constexpr const char* kBaseClass = "com/quorlane/orvelle/OrvelleCallback";
constexpr const char* kRunDescriptor =
    "(Lcom/quorlane/orvelle/PACKET_TYPE;Lcom/quorlane/orvelle/SWIGTYPE_p_void;I)V";

// Process-wide Java handles: the upcall target, set by the module
// initialisation, and the base class with its run(), set on first connect.
struct Module {
  std::mutex lock;
  jclass jni_class = nullptr;
  jmethodID upcall = nullptr;
  jclass base_class = nullptr;
  jmethodID base_run = nullptr;
};

// Never destroyed: worker threads may still deliver events while the
// process exits.
Module& module() {
  static Module* m = new Module;
  return *m;
}

// Set once the process exits. The virtual machine has stopped its threads
// by then, and a thread that enters it, or attaches to it, never returns:
// nothing calls into Java any more.
std::atomic<bool> vm_exiting{false};

void StopCallbacksAtExit() { vm_exiting.store(true); }

// A worker that has not ended this long after the exit told it to stop is
// inside Java, stopped for good, and is left as it is.
constexpr int exit_wait_limit_ms = 1000;

// The calling thread's JNI environment, none once the process exits; a
// thread that is not attached to the virtual machine is attached for the
// lifetime of this object. Before it is detached, an exception left by the
// Java side is described on standard error and cleared: it has no Java
// caller to reach.
class ThreadEnv {
 public:
  explicit ThreadEnv(JavaVM* vm) : vm_(vm) {
    if (vm_ == nullptr || vm_exiting.load()) return;
    void* env = nullptr;
    const jint got = vm_->GetEnv(&env, JNI_VERSION_1_2);
    if (got == JNI_EDETACHED) {
      JavaVMAttachArgs args{JNI_VERSION_1_2, const_cast<char*>("orvelle-events"), nullptr};
      if (vm_->AttachCurrentThread(&env, &args) == JNI_OK) {
        attached_ = true;
      } else {
        env = nullptr;
      }
    } else if (got != JNI_OK) {
      env = nullptr;
    }
    env_ = static_cast<JNIEnv*>(env);
  }
  ~ThreadEnv() {
    if (!attached_) return;
    DescribeAndClear(env_);
    vm_->DetachCurrentThread();
  }
  ThreadEnv(const ThreadEnv&) = delete;
  ThreadEnv& operator=(const ThreadEnv&) = delete;
  JNIEnv* env() const { return env_; }

 private:
  JavaVM* vm_;
  JNIEnv* env_ = nullptr;
  bool attached_ = false;
};

// Sets a pending exception aside while cleanup code calls into Java, and
// raises it again afterwards.
class KeepPendingException {
 public:
  explicit KeepPendingException(JNIEnv* env) : env_(env), pending_(env->ExceptionOccurred()) {
    if (pending_ != nullptr) env_->ExceptionClear();
  }
  ~KeepPendingException() {
    if (pending_ == nullptr) return;
    DescribeAndClear(env_);
    env_->Throw(pending_);
    env_->DeleteLocalRef(pending_);
  }
  KeepPendingException(const KeepPendingException&) = delete;
  KeepPendingException& operator=(const KeepPendingException&) = delete;

 private:
  JNIEnv* env_;
  jthrowable pending_;
};

// The data of an event being delivered.
struct EventData {
  PACKET_TYPE type;
  const void* data;
  long length;
};

// A phoneme record with its two names in one block of the C allocator, so
// that delete_phoneme_data, which frees only the record, frees the names too.
phoneme_data* copy_phoneme(const phoneme_data& record) {
  const std::size_t name_size = record.phoneme != nullptr ? std::strlen(record.phoneme) + 1 : 0;
  const std::size_t next_size = record.next_phoneme != nullptr ? std::strlen(record.next_phoneme) + 1 : 0;
  auto* copy = static_cast<phoneme_data*>(std::malloc(sizeof(phoneme_data) + name_size + next_size));
  if (copy == nullptr) return nullptr;
  *copy = record;
  char* names = reinterpret_cast<char*>(copy + 1);
  if (record.phoneme != nullptr) {
    copy->phoneme = static_cast<char*>(std::memcpy(names, record.phoneme, name_size));
  }
  if (record.next_phoneme != nullptr) {
    copy->next_phoneme = static_cast<char*>(std::memcpy(names + name_size, record.next_phoneme, next_size));
  }
  return copy;
}

// Events being delivered on this thread, innermost last: the event-data
// helpers read only these, within their lengths.
thread_local std::vector<EventData> delivering;

}  // namespace

// Live callback objects, the events running on each, and the connection
// each one is installed on.
class CallbackRegistry {
 public:
  static CallbackRegistry& instance() {
    static CallbackRegistry* r = new CallbackRegistry;
    return *r;
  }

  void add(OrvelleCallback* callback) {
    std::lock_guard<std::mutex> guard(lock_);
    live_[callback] = Entry{};
  }

  bool contains(OrvelleCallback* callback) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = live_.find(callback);
    return it != live_.end() && !it->second.doomed;
  }

  // An event may run on the object: it stays allocated until leave().
  bool enter(OrvelleCallback* callback) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = live_.find(callback);
    if (it == live_.end() || it->second.doomed) return false;
    ++it->second.running;
    return true;
  }

  void leave(OrvelleCallback* callback) {
    bool free_now = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = live_.find(callback);
      if (it == live_.end()) return;
      if (--it->second.running == 0 && it->second.doomed) {
        live_.erase(it);
        free_now = true;
      }
    }
    if (free_now) delete callback;
  }

  void retire(OrvelleCallback* callback) {
    bool free_now = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = live_.find(callback);
      if (it == live_.end() || it->second.doomed) return;
      for (auto i = installed_.begin(); i != installed_.end();) {
        if (i->second == callback) {
          Uninstall(i->first);
          i = installed_.erase(i);
        } else {
          ++i;
        }
      }
      disown(it->second.owner, callback);
      it->second.owner = nullptr;
      if (it->second.running > 0) {
        it->second.doomed = true;  // the last event running on it frees it
      } else {
        live_.erase(it);
        free_now = true;
      }
    }
    // Outside the lock: the destructor calls into Java, which may call back.
    if (free_now) delete callback;
  }

  void install(OrvelleCaller* caller, OrvelleCallback* callback, CONNECTION_HANDLE handle) {
    std::lock_guard<std::mutex> guard(lock_);
    caller->handle_ = handle;
    auto it = callback != nullptr ? live_.find(callback) : live_.end();
    if (it == live_.end() || it->second.doomed) {
      caller->callback_ = nullptr;
      installed_.erase(handle);
      Uninstall(handle);
      return;
    }
    if (it->second.owner != caller) disown(it->second.owner, callback);
    it->second.owner = caller;
    caller->callback_ = callback;
    ovSetUserData(handle, callback);
    if (ovSetCallBack(handle, _java_orvelle_callback) == OV_SUCCESS) {
      installed_[handle] = callback;
    } else {
      installed_.erase(handle);
    }
  }

 private:
  struct Entry {
    int running = 0;
    bool doomed = false;
    OrvelleCaller* owner = nullptr;
  };

  static void disown(OrvelleCaller* owner, OrvelleCallback* callback) {
    if (owner != nullptr && owner->callback_ == callback) owner->callback_ = nullptr;
  }

  std::mutex lock_;
  std::unordered_map<OrvelleCallback*, Entry> live_;
  std::unordered_map<CONNECTION_HANDLE, OrvelleCallback*> installed_;
};

namespace {

const EventData* current_event(const void* data) {
  for (auto it = delivering.rbegin(); it != delivering.rend(); ++it) {
    if (it->data == data) return &*it;
  }
  return nullptr;
}

// Runs one event on a registered callback object, keeping it allocated.
void run_guarded(OrvelleCallback* callback, PACKET_TYPE type, void* data, long length,
                 bool readable) {
  CallbackRegistry& registry = CallbackRegistry::instance();
  if (!registry.enter(callback)) return;
  if (readable) delivering.push_back(EventData{type, data, length < 0 ? 0 : length});
  callback->run(type, data, length);
  if (readable) delivering.pop_back();
  registry.leave(callback);
}

OrvelleCallback* callback_at(jlong cptr) { return from_jlong<OrvelleCallback>(cptr); }

// Types from Java are checked before they become a PACKET_TYPE.
bool is_packet_type(jint type) { return type >= 0 && type <= PACKET_TEXT_STREAM; }

SwigDirector_OrvelleCallback* director_at(jlong cptr) {
  OrvelleCallback* callback = callback_at(cptr);
  if (callback == nullptr || !CallbackRegistry::instance().contains(callback)) return nullptr;
  return dynamic_cast<SwigDirector_OrvelleCallback*>(callback);
}

}  // namespace

void OrvelleCallback::run(PACKET_TYPE, void*, long) {}

SwigDirector_OrvelleCallback::SwigDirector_OrvelleCallback(JNIEnv* env) {
  if (env->GetJavaVM(&vm_) != JNI_OK) vm_ = nullptr;
}

SwigDirector_OrvelleCallback::~SwigDirector_OrvelleCallback() {
  ThreadEnv thread(vm_);
  JNIEnv* env = thread.env();
  if (env == nullptr || self_ == nullptr) return;
  KeepPendingException keep(env);
  if (jobject self = local_self(env)) {
    jclass cls = env->GetObjectClass(self);
    jmethodID disconnect = env->GetMethodID(cls, "swigDirectorDisconnect", "()V");
    if (disconnect != nullptr) {
      env->CallVoidMethod(self, disconnect);
    }
    DescribeAndClear(env);
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(self);
  }
  if (weak_) {
    env->DeleteWeakGlobalRef(self_);
  } else {
    env->DeleteGlobalRef(self_);
  }
  self_ = nullptr;
}

jobject SwigDirector_OrvelleCallback::local_self(JNIEnv* env) {
  std::lock_guard<std::mutex> guard(self_lock_);
  // A cleared weak reference gives null.
  return self_ == nullptr ? nullptr : env->NewLocalRef(self_);
}

void SwigDirector_OrvelleCallback::run(PACKET_TYPE type, void* data, long length) {
  if (!overrides_run_) return;
  ThreadEnv thread(vm_);
  JNIEnv* env = thread.env();
  if (env == nullptr) return;
  // An exception from an earlier event is still pending on this Java
  // thread: no Java code may run before it reaches its caller.
  if (env->ExceptionCheck()) return;
  jclass jni_class;
  jmethodID upcall;
  {
    Module& m = module();
    std::lock_guard<std::mutex> guard(m.lock);
    jni_class = m.jni_class;
    upcall = m.upcall;
  }
  if (jni_class == nullptr || upcall == nullptr) return;
  jobject self = local_self(env);
  if (self == nullptr) {
    throw_java(env, "java/lang/NullPointerException", "null upcall object in OrvelleCallback::run ");
    return;
  }
  const jint java_length = length > INT_MAX ? INT_MAX : length < INT_MIN ? INT_MIN : static_cast<jint>(length);
  env->CallStaticVoidMethod(jni_class, upcall, self, static_cast<jint>(type), to_jlong(data), java_length);
  // An exception thrown by run() stays pending: a synchronous render
  // returns it to its Java caller, a worker thread describes it on detach.
  env->DeleteLocalRef(self);
}

void SwigDirector_OrvelleCallback::connect(JNIEnv* env, jobject self, bool mem_own, bool weak_global) {
  {
    std::lock_guard<std::mutex> guard(self_lock_);
    if (self_ != nullptr) return;
    weak_ = weak_global || !mem_own;
    self_ = weak_ ? env->NewWeakGlobalRef(self) : env->NewGlobalRef(self);
    if (self_ == nullptr) return;
  }
  jclass base_class;
  jmethodID base_run;
  {
    Module& m = module();
    std::lock_guard<std::mutex> guard(m.lock);
    if (m.base_class == nullptr) {
      jclass found = env->FindClass(kBaseClass);
      if (found == nullptr) return;
      m.base_class = static_cast<jclass>(env->NewGlobalRef(found));
      env->DeleteLocalRef(found);
      if (m.base_class == nullptr) return;
    }
    if (m.base_run == nullptr) {
      m.base_run = env->GetMethodID(m.base_class, "run", kRunDescriptor);
      if (m.base_run == nullptr) return;
    }
    base_class = m.base_class;
    base_run = m.base_run;
  }
  bool overrides = false;
  jclass cls = env->GetObjectClass(self);
  if (!env->IsSameObject(cls, base_class)) {
    jmethodID run = env->GetMethodID(cls, "run", kRunDescriptor);
    overrides = run != nullptr && run != base_run;
    env->ExceptionClear();
  }
  env->DeleteLocalRef(cls);
  overrides_run_ = overrides;
}

void SwigDirector_OrvelleCallback::change_ownership(JNIEnv* env, bool take_or_release) {
  std::lock_guard<std::mutex> guard(self_lock_);
  if (self_ == nullptr) return;
  if (take_or_release && !weak_) {
    jobject weak = env->NewWeakGlobalRef(self_);
    if (weak == nullptr) return;
    env->DeleteGlobalRef(self_);
    self_ = weak;
    weak_ = true;
  } else if (!take_or_release && weak_) {
    jobject strong = env->NewGlobalRef(self_);
    if (strong == nullptr) return;  // already collected
    env->DeleteWeakGlobalRef(self_);
    self_ = strong;
    weak_ = false;
  }
}

OrvelleCaller::~OrvelleCaller() { delOrvelleCallback(); }

void OrvelleCaller::setOrvelleCallback(OrvelleCallback* callback, CONNECTION_HANDLE handle) {
  if (callback_ != nullptr && callback_ != callback) {
    CallbackRegistry::instance().retire(callback_);
    callback_ = nullptr;
  }
  CallbackRegistry::instance().install(this, callback, handle);
}

void OrvelleCaller::delOrvelleCallback() {
  if (callback_ == nullptr) return;
  CallbackRegistry::instance().retire(callback_);
  callback_ = nullptr;
}

int _java_orvelle_callback(void* user_data, int type, void* data, long length) {
  if (user_data != nullptr && is_packet_type(type) && !vm_exiting.load()) {
    run_guarded(static_cast<OrvelleCallback*>(user_data), static_cast<PACKET_TYPE>(type), data,
                length, true);
  }
  return OV_SUCCESS;
}

}  // namespace orvelle_java

using namespace orvelle_java;

extern "C" {

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_swig_1module_1init(JNIEnv* env, jclass cls) {
  jclass global = static_cast<jclass>(env->NewGlobalRef(cls));
  if (global == nullptr) return;
  // A missing method leaves NoSuchMethodError pending for the class's
  // initialisation; upcalls are then skipped.
  jmethodID upcall = env->GetStaticMethodID(global, kUpcallName, kUpcallDescriptor);
  Module& m = module();
  std::lock_guard<std::mutex> guard(m.lock);
  if (m.jni_class != nullptr) env->DeleteGlobalRef(m.jni_class);
  m.jni_class = global;
  m.upcall = upcall;
  SetExitTeardown(StopCallbacksAtExit, exit_wait_limit_ms);
}

JNIEXPORT jlong JNICALL Java_com_quorlane_orvelle_orvelleJNI_new_1OrvelleCallback(JNIEnv* env, jclass) {
  auto* director = new (std::nothrow) SwigDirector_OrvelleCallback(env);
  if (director == nullptr) {
    throw_java(env, "java/lang/OutOfMemoryError", "no memory for a callback object");
    return 0;
  }
  OrvelleCallback* callback = director;
  CallbackRegistry::instance().add(callback);
  return to_jlong(callback);
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_delete_1OrvelleCallback(JNIEnv*, jclass, jlong cptr) {
  if (OrvelleCallback* callback = callback_at(cptr)) CallbackRegistry::instance().retire(callback);
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCallback_1run(
    JNIEnv*, jclass, jlong cptr, jobject, jint type, jlong data, jint length) {
  OrvelleCallback* callback = callback_at(cptr);
  if (callback != nullptr && is_packet_type(type)) {
    run_guarded(callback, static_cast<PACKET_TYPE>(type), from_jlong<void>(data), length, false);
  }
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCallback_1runSwigExplicitOrvelleCallback(
    JNIEnv*, jclass, jlong cptr, jobject, jint type, jlong data, jint length) {
  OrvelleCallback* callback = callback_at(cptr);
  if (callback != nullptr && is_packet_type(type)) {
    callback->OrvelleCallback::run(static_cast<PACKET_TYPE>(type), from_jlong<void>(data), length);
  }
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCallback_1director_1connect(
    JNIEnv* env, jclass, jobject self, jlong cptr, jboolean mem_own, jboolean weak_global) {
  if (SwigDirector_OrvelleCallback* director = director_at(cptr)) {
    director->connect(env, self, mem_own == JNI_TRUE, weak_global == JNI_TRUE);
  }
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCallback_1change_1ownership(
    JNIEnv* env, jclass, jobject, jlong cptr, jboolean take_or_release) {
  if (SwigDirector_OrvelleCallback* director = director_at(cptr)) {
    director->change_ownership(env, take_or_release == JNI_TRUE);
  }
}

JNIEXPORT jint JNICALL Java_com_quorlane_orvelle_orvelleJNI__1java_1orvelle_1callback(
    JNIEnv*, jclass, jlong user_data, jint type, jlong data, jint length) {
  return _java_orvelle_callback(from_jlong<void>(user_data), type, from_jlong<void>(data), length);
}

JNIEXPORT jshort JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCallback_1OrvelleDataToShort(
    JNIEnv* env, jclass, jlong, jobject, jlong data, jint index) {
  const EventData* event = current_event(from_jlong<void>(data));
  if (event == nullptr) {
    throw_java(env, "java/lang/IllegalStateException", "event data is readable only while its event is delivered");
    return 0;
  }
  if (index < 0 || (static_cast<long>(index) + 1) * 2 > event->length) {
    throw_java(env, "java/lang/IndexOutOfBoundsException",
               "sample " + std::to_string(index) + " is outside the event's " +
                   std::to_string(event->length) + " bytes");
    return 0;
  }
  jshort sample;
  std::memcpy(&sample, static_cast<const char*>(event->data) + 2 * static_cast<long>(index), sizeof sample);
  return sample;
}

JNIEXPORT jstring JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCallback_1OrvelleDataToString(
    JNIEnv* env, jclass, jlong, jobject, jlong data) {
  if (data == 0) return nullptr;
  const EventData* event = current_event(from_jlong<void>(data));
  if (event == nullptr) {
    throw_java(env, "java/lang/IllegalStateException", "event data is readable only while its event is delivered");
    return nullptr;
  }
  // The text ends at its NUL, or with the event when the sender sent none.
  const char* bytes = static_cast<const char*>(event->data);
  const void* nul = std::memchr(bytes, '\0', static_cast<std::size_t>(event->length));
  const std::size_t size = nul != nullptr ? static_cast<const char*>(nul) - bytes : event->length;
  return new_java_string(env, bytes, size);
}

// The record lives on the library's stack only while its event is
// delivered: Java gets a copy of its own, which it frees.
JNIEXPORT jlong JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCallback_1OrvelleDataToPhoneme(
    JNIEnv* env, jclass, jlong, jobject, jlong data) {
  if (data == 0) return 0;
  const EventData* event = current_event(from_jlong<void>(data));
  if (event == nullptr) {
    throw_java(env, "java/lang/IllegalStateException", "event data is readable only while its event is delivered");
    return 0;
  }
  if (event->type != PACKET_PHONEME || event->length < static_cast<long>(sizeof(phoneme_data))) {
    throw_java(env, "java/lang/IllegalArgumentException", "the data is not a phoneme event's");
    return 0;
  }
  phoneme_data* copy = copy_phoneme(*static_cast<const phoneme_data*>(event->data));
  if (copy == nullptr) throw_java(env, "java/lang/OutOfMemoryError", "no memory for a phoneme_data record");
  return to_jlong(copy);
}

JNIEXPORT jlong JNICALL Java_com_quorlane_orvelle_orvelleJNI_new_1OrvelleCaller(JNIEnv* env, jclass) {
  auto* caller = new (std::nothrow) OrvelleCaller;
  if (caller == nullptr) throw_java(env, "java/lang/OutOfMemoryError", "no memory for a caller");
  return to_jlong(caller);
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_delete_1OrvelleCaller(JNIEnv*, jclass, jlong cptr) {
  delete from_jlong<OrvelleCaller>(cptr);
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCaller_1delOrvelleCallback(
    JNIEnv*, jclass, jlong cptr, jobject) {
  if (OrvelleCaller* caller = from_jlong<OrvelleCaller>(cptr)) caller->delOrvelleCallback();
}

JNIEXPORT void JNICALL Java_com_quorlane_orvelle_orvelleJNI_OrvelleCaller_1setOrvelleCallback(
    JNIEnv*, jclass, jlong cptr, jobject, jlong callback, jobject, jint handle) {
  if (OrvelleCaller* caller = from_jlong<OrvelleCaller>(cptr)) {
    caller->setOrvelleCallback(callback_at(callback), handle);
  }
}

}  // extern "C"
