// A stand-in JNIEnv for unit tests of the binding's native code without a virtual machine.
// Java objects are FakeObject records; byte arrays hand out their own storage (pinned, never
// copied), so a test can check that pointers point into the array and count every take and
// release. Only the functions the binding uses are filled in; any other call crashes, which
// fails the test.
#ifndef VESKA_TESTS_JAVA_FAKE_JNI_H
#define VESKA_TESTS_JAVA_FAKE_JNI_H

#include <jni.h>

#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace veska_test {

enum class Kind { kBytes, kObjects, kString, kClass, kThrowable, kMethod };

struct FakeObject {
  Kind kind = Kind::kBytes;
  std::vector<jbyte> bytes;            // kBytes
  std::vector<FakeObject *> elements;  // kObjects
  std::string text;                    // kString, kClass, kThrowable (class name)
  int code = 0;                        // kThrowable built by NewObject: the int argument
  std::string message;                 // kThrowable: the message
};

struct Release {
  FakeObject *array;
  const jbyte *elements;
  jint mode;
};

class FakeEnv {
 public:
  FakeEnv() {
    std::memset(&table_, 0, sizeof(table_));
    table_.GetArrayLength = &GetArrayLength;
    table_.GetByteArrayElements = &GetByteArrayElements;
    table_.ReleaseByteArrayElements = &ReleaseByteArrayElements;
    table_.GetObjectArrayElement = &GetObjectArrayElement;
    table_.GetByteArrayRegion = &GetByteArrayRegion;
    table_.ExceptionCheck = &ExceptionCheck;
    table_.EnsureLocalCapacity = &EnsureLocalCapacity;
    table_.DeleteLocalRef = &DeleteLocalRef;
    table_.FindClass = &FindClass;
    table_.ThrowNew = &ThrowNew;
    table_.Throw = &Throw;
    table_.NewStringUTF = &NewStringUTF;
    table_.GetMethodID = &GetMethodID;
    table_.NewObjectV = &NewObjectV;
    table_.GetStringUTFChars = &GetStringUTFChars;
    table_.ReleaseStringUTFChars = &ReleaseStringUTFChars;
    table_.GetStringUTFLength = &GetStringUTFLength;
    holder_.self = this;
    holder_.env.functions = &table_;
  }

  JNIEnv *env() { return &holder_.env; }

  // ---- Building Java values -----------------------------------------------------------
  jbyteArray bytes(const std::string &content) {
    FakeObject *o = make(Kind::kBytes);
    o->bytes.assign(content.begin(), content.end());
    return reinterpret_cast<jbyteArray>(o);
  }
  // A key as the Java side sends it: the text and a terminating zero byte.
  jbyteArray key(const std::string &name) { return bytes(name + std::string(1, '\0')); }
  jobjectArray objects(const std::vector<jobject> &items) {
    FakeObject *o = make(Kind::kObjects);
    for (jobject item : items) o->elements.push_back(reinterpret_cast<FakeObject *>(item));
    return reinterpret_cast<jobjectArray>(o);
  }
  jobjectArray pair(jbyteArray k, jbyteArray v) { return objects({k, v}); }
  jstring string(const std::string &text) {
    FakeObject *o = make(Kind::kString);
    o->text = text;
    return reinterpret_cast<jstring>(o);
  }
  static FakeObject *object(jobject o) { return reinterpret_cast<FakeObject *>(o); }
  static const jbyte *data(jbyteArray a) { return object(a)->bytes.data(); }

  // ---- What happened ------------------------------------------------------------------
  std::map<FakeObject *, int> takes;  // GetByteArrayElements per array
  std::vector<Release> releases;
  int length_calls = 0;
  int live_local_refs = 0;  // made by GetObjectArrayElement, not yet deleted
  int max_live_local_refs = 0;
  jint ensured_capacity = 0;
  FakeObject *pending = nullptr;           // the pending exception
  FakeObject *fail_elements_of = nullptr;  // GetByteArrayElements of this array throws
  int strings_held = 0;

  int releases_of(jbyteArray a) const {
    int n = 0;
    for (const Release &r : releases) n += r.array == object(a);
    return n;
  }

 private:
  struct Holder {
    JNIEnv env;  // first, so that the JNIEnv pointer leads back to the holder
    FakeEnv *self;
  };
  static FakeEnv *of(JNIEnv *env) { return reinterpret_cast<Holder *>(env)->self; }

  FakeObject *make(Kind kind) {
    objects_.push_back(std::make_unique<FakeObject>());
    objects_.back()->kind = kind;
    return objects_.back().get();
  }
  FakeObject *raise(const std::string &cls, const std::string &message) {
    FakeObject *t = make(Kind::kThrowable);
    t->text = cls;
    t->message = message;
    pending = t;
    return t;
  }

  static jsize JNICALL GetArrayLength(JNIEnv *env, jarray a) {
    FakeEnv *f = of(env);
    f->length_calls++;
    FakeObject *o = object(a);
    return static_cast<jsize>(o->kind == Kind::kBytes ? o->bytes.size() : o->elements.size());
  }
  static jbyte *JNICALL GetByteArrayElements(JNIEnv *env, jbyteArray a, jboolean *is_copy) {
    FakeEnv *f = of(env);
    if (is_copy) *is_copy = JNI_FALSE;
    if (object(a) == f->fail_elements_of) {
      f->raise("java/lang/OutOfMemoryError", "injected");
      return nullptr;
    }
    f->takes[object(a)]++;
    return object(a)->bytes.data();
  }
  static void JNICALL GetByteArrayRegion(JNIEnv *env, jbyteArray a, jsize start, jsize length,
                                         jbyte *out) {
    const std::vector<jbyte> &bytes = object(a)->bytes;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + length > bytes.size()) {
      of(env)->raise("java/lang/ArrayIndexOutOfBoundsException", "region");
      return;
    }
    std::memcpy(out, bytes.data() + start, static_cast<size_t>(length));
  }
  static void JNICALL ReleaseByteArrayElements(JNIEnv *env, jbyteArray a, jbyte *e, jint mode) {
    of(env)->releases.push_back({object(a), e, mode});
  }
  static jobject JNICALL GetObjectArrayElement(JNIEnv *env, jobjectArray a, jsize i) {
    FakeEnv *f = of(env);
    FakeObject *o = object(a);
    if (i < 0 || static_cast<size_t>(i) >= o->elements.size()) {
      f->raise("java/lang/ArrayIndexOutOfBoundsException", "index");
      return nullptr;
    }
    FakeObject *e = o->elements[i];
    if (e != nullptr) {
      f->live_local_refs++;
      if (f->live_local_refs > f->max_live_local_refs) f->max_live_local_refs = f->live_local_refs;
    }
    return reinterpret_cast<jobject>(e);
  }
  static jboolean JNICALL ExceptionCheck(JNIEnv *env) {
    return of(env)->pending != nullptr ? JNI_TRUE : JNI_FALSE;
  }
  static jint JNICALL EnsureLocalCapacity(JNIEnv *env, jint capacity) {
    of(env)->ensured_capacity += capacity;
    return 0;
  }
  static void JNICALL DeleteLocalRef(JNIEnv *env, jobject o) {
    FakeObject *x = object(o);
    if (x != nullptr && (x->kind == Kind::kBytes || x->kind == Kind::kObjects)) {
      of(env)->live_local_refs--;
    }
  }
  static jclass JNICALL FindClass(JNIEnv *env, const char *name) {
    FakeObject *c = of(env)->make(Kind::kClass);
    c->text = name;
    return reinterpret_cast<jclass>(c);
  }
  static jint JNICALL ThrowNew(JNIEnv *env, jclass cls, const char *message) {
    of(env)->raise(object(cls)->text, message);
    return 0;
  }
  static jint JNICALL Throw(JNIEnv *env, jthrowable t) {
    of(env)->pending = object(t);
    return 0;
  }
  static jstring JNICALL NewStringUTF(JNIEnv *env, const char *text) {
    return of(env)->string(text);
  }
  static jmethodID JNICALL GetMethodID(JNIEnv *env, jclass, const char *, const char *) {
    return reinterpret_cast<jmethodID>(of(env)->make(Kind::kMethod));
  }
  static jobject JNICALL NewObjectV(JNIEnv *env, jclass cls, jmethodID, va_list args) {
    FakeObject *t = of(env)->make(Kind::kThrowable);
    t->text = object(cls)->text;
    t->code = va_arg(args, jint);
    t->message = object(va_arg(args, jstring))->text;
    return reinterpret_cast<jobject>(t);
  }
  static const char *JNICALL GetStringUTFChars(JNIEnv *env, jstring s, jboolean *is_copy) {
    if (is_copy) *is_copy = JNI_FALSE;
    of(env)->strings_held++;
    return object(s)->text.c_str();
  }
  static void JNICALL ReleaseStringUTFChars(JNIEnv *env, jstring, const char *) {
    of(env)->strings_held--;
  }
  static jsize JNICALL GetStringUTFLength(JNIEnv *, jstring s) {
    return static_cast<jsize>(object(s)->text.size());
  }

  JNINativeInterface_ table_;
  Holder holder_;
  std::vector<std::unique_ptr<FakeObject>> objects_;
};

}  // namespace veska_test

#endif  // VESKA_TESTS_JAVA_FAKE_JNI_H
