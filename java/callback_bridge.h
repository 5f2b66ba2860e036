// Callback bridge: delivers a connection's events to a Java OrvelleCallback.
//
// A Java subclass of OrvelleCallback owns a native SwigDirector_OrvelleCallback
// that forwards run() to Java when the subclass overrides it. An OrvelleCaller
// owns the callback object it installs on a connection, with
// _java_orvelle_callback as the connection's callback and the object as its
// user data. Every callback object is registered while it lives: events for
// an object that is gone are refused, and an object is freed only once no
// event is running on it.
#ifndef ORVELLE_JAVA_CALLBACK_BRIDGE_H
#define ORVELLE_JAVA_CALLBACK_BRIDGE_H

#include <jni.h>

#include <atomic>
#include <mutex>

#include "client/orvelle.h"

namespace orvelle_java {

class OrvelleCallback {
 public:
  virtual ~OrvelleCallback() = default;
  // The base class consumes events silently.
  virtual void run(PACKET_TYPE type, void* data, long length);
};

class SwigDirector_OrvelleCallback : public OrvelleCallback {
 public:
  explicit SwigDirector_OrvelleCallback(JNIEnv* env);
  ~SwigDirector_OrvelleCallback() override;
  void run(PACKET_TYPE type, void* data, long length) override;

  void connect(JNIEnv* env, jobject self, bool mem_own, bool weak_global);
  void change_ownership(JNIEnv* env, bool take_or_release);

 private:
  jobject local_self(JNIEnv* env);

  JavaVM* vm_ = nullptr;
  std::mutex self_lock_;  // guards self_ and weak_ against a worker's upcall
  jobject self_ = nullptr;
  bool weak_ = true;
  std::atomic<bool> overrides_run_{false};
};

class OrvelleCaller {
 public:
  ~OrvelleCaller();
  void setOrvelleCallback(OrvelleCallback* callback, CONNECTION_HANDLE handle);
  void delOrvelleCallback();

 private:
  friend class CallbackRegistry;
  OrvelleCallback* callback_ = nullptr;
  CONNECTION_HANDLE handle_ = 0;
};

// The connection's EVENT_CALLBACK; user_data is the OrvelleCallback.
int _java_orvelle_callback(void* user_data, int type, void* data, long length);

}  // namespace orvelle_java

#endif
