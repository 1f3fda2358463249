#include "fake_jni.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace fakejni {

namespace {

Env *current = nullptr;

// Field and method ids are addresses of these markers.
char libFieldId, getSecurityManagerId, checkLinkId, exceptionWithMessageId, exceptionWithCauseId;

template <typename T>
T *as(jobject o, Object::Kind k) {
  auto *obj = reinterpret_cast<Object *>(o);
  return obj != nullptr && obj->kind == k ? static_cast<T *>(obj) : nullptr;
}

jint JNICALL getVersion(JNIEnv *) {
  return JNI_VERSION_1_8;
}

jclass JNICALL findClass(JNIEnv *e, const char *name) {
  Env &f = Env::of(e);
  f.noteCall("FindClass");
  if (std::strcmp(name, "java/lang/System") == 0) return reinterpret_cast<jclass>(f.system_.get());
  if (std::strcmp(name, "java/lang/Exception") == 0)
    return reinterpret_cast<jclass>(f.exception_.get());
  f.raise("java/lang/NoClassDefFoundError", name);
  return nullptr;
}

jfieldID JNICALL getStaticFieldID(JNIEnv *e, jclass cls, const char *name, const char *sig) {
  Env &f = Env::of(e);
  f.noteCall("GetStaticFieldID");
  if (reinterpret_cast<Object *>(cls) == f.mscapi_.get() && f.hasLibField &&
      std::strcmp(name, "LIB") == 0 && std::strcmp(sig, "Ljava/lang/String;") == 0)
    return reinterpret_cast<jfieldID>(&libFieldId);
  f.raise("java/lang/NoSuchFieldError", name);
  return nullptr;
}

jobject JNICALL getStaticObjectField(JNIEnv *e, jclass, jfieldID id) {
  Env &f = Env::of(e);
  f.noteCall("GetStaticObjectField");
  if (id != reinterpret_cast<jfieldID>(&libFieldId)) f.violations.push_back("unknown field id");
  return f.libIsNull ? nullptr : reinterpret_cast<jobject>(f.lib_.get());
}

jmethodID JNICALL getStaticMethodID(JNIEnv *e, jclass cls, const char *name, const char *sig) {
  Env &f = Env::of(e);
  f.noteCall("GetStaticMethodID");
  if (reinterpret_cast<Object *>(cls) == f.system_.get() &&
      std::strcmp(name, "getSecurityManager") == 0 &&
      std::strcmp(sig, "()Ljava/lang/SecurityManager;") == 0)
    return reinterpret_cast<jmethodID>(&getSecurityManagerId);
  f.raise("java/lang/NoSuchMethodError", name);
  return nullptr;
}

jobject JNICALL callStaticObjectMethodV(JNIEnv *e, jclass, jmethodID id, va_list) {
  Env &f = Env::of(e);
  f.noteCall("CallStaticObjectMethodV");
  if (id != reinterpret_cast<jmethodID>(&getSecurityManagerId))
    f.violations.push_back("unexpected static method call");
  return f.managerInstalled ? reinterpret_cast<jobject>(f.manager_.get()) : nullptr;
}

jclass JNICALL getObjectClass(JNIEnv *e, jobject o) {
  Env &f = Env::of(e);
  f.noteCall("GetObjectClass");
  if (reinterpret_cast<Object *>(o) == f.manager_.get())
    return reinterpret_cast<jclass>(f.manager_class_.get());
  f.violations.push_back("GetObjectClass on an unexpected object");
  return nullptr;
}

jmethodID JNICALL getMethodID(JNIEnv *e, jclass cls, const char *name, const char *sig) {
  Env &f = Env::of(e);
  f.noteCall("GetMethodID");
  if (reinterpret_cast<Object *>(cls) == f.manager_class_.get() &&
      std::strcmp(name, "checkLink") == 0 && std::strcmp(sig, "(Ljava/lang/String;)V") == 0)
    return reinterpret_cast<jmethodID>(&checkLinkId);
  if (reinterpret_cast<Object *>(cls) == f.exception_.get() && std::strcmp(name, "<init>") == 0) {
    if (std::strcmp(sig, "(Ljava/lang/String;)V") == 0)
      return reinterpret_cast<jmethodID>(&exceptionWithMessageId);
    if (std::strcmp(sig, "(Ljava/lang/String;Ljava/lang/Throwable;)V") == 0)
      return reinterpret_cast<jmethodID>(&exceptionWithCauseId);
  }
  f.raise("java/lang/NoSuchMethodError", name);
  return nullptr;
}

void JNICALL callVoidMethodV(JNIEnv *e, jobject, jmethodID id, va_list args) {
  Env &f = Env::of(e);
  f.noteCall("CallVoidMethodV");
  if (id != reinterpret_cast<jmethodID>(&checkLinkId)) {
    f.violations.push_back("unexpected method call");
    return;
  }
  auto *lib = as<String>(va_arg(args, jobject), Object::Kind::String);
  f.checkLinkArgs.push_back(lib != nullptr ? lib->modifiedUtf8() : std::string("<null>"));
  if (f.managerRefuses) f.raise("java/lang/SecurityException", "linking refused");
}

jthrowable JNICALL exceptionOccurred(JNIEnv *e) {
  Env &f = Env::of(e);
  return reinterpret_cast<jthrowable>(f.pending_);
}

jboolean JNICALL exceptionCheck(JNIEnv *e) {
  return Env::of(e).pending_ != nullptr;
}

jint JNICALL throwNew(JNIEnv *e, jclass cls, const char *msg) {
  Env &f = Env::of(e);
  f.noteCall("ThrowNew");
  auto *c = as<Class>(cls, Object::Kind::Class);
  f.raise(c != nullptr ? c->name : "?", msg != nullptr ? msg : "");
  return 0;
}

void JNICALL deleteLocalRef(JNIEnv *, jobject) {}

jint JNICALL throwObject(JNIEnv *e, jthrowable t) {
  Env &f = Env::of(e);
  f.noteCall("Throw");
  auto *thrown = as<Throwable>(t, Object::Kind::Throwable);
  if (thrown == nullptr) f.violations.push_back("Throw of something that is not a throwable");
  f.pending_ = thrown;
  return 0;
}

void JNICALL exceptionClear(JNIEnv *e) {
  Env::of(e).pending_ = nullptr;
}

jint JNICALL pushLocalFrame(JNIEnv *e, jint) {
  Env::of(e).noteCall("PushLocalFrame");
  return JNI_OK;
}

jobject JNICALL popLocalFrame(JNIEnv *, jobject result) {
  return result;
}

// Modified UTF-8 (as the library hands it) to UTF-16.
std::u16string fromModifiedUtf8(const char *s) {
  std::u16string out;
  const auto *b = reinterpret_cast<const unsigned char *>(s);
  for (size_t i = 0; b[i] != 0;) {
    if (b[i] < 0x80) {
      out += static_cast<char16_t>(b[i++]);
    } else if ((b[i] & 0xE0) == 0xC0 && b[i + 1] != 0) {
      out += static_cast<char16_t>((b[i] & 0x1F) << 6 | (b[i + 1] & 0x3F));
      i += 2;
    } else if (b[i + 1] != 0 && b[i + 2] != 0) {
      out +=
          static_cast<char16_t>((b[i] & 0x0F) << 12 | (b[i + 1] & 0x3F) << 6 | (b[i + 2] & 0x3F));
      i += 3;
    } else {
      break;
    }
  }
  return out;
}

jstring JNICALL newStringUTF(JNIEnv *e, const char *utf) {
  Env &f = Env::of(e);
  f.noteCall("NewStringUTF");
  return utf != nullptr ? f.string(fromModifiedUtf8(utf)) : nullptr;
}

jobject JNICALL newObjectV(JNIEnv *e, jclass cls, jmethodID id, va_list args) {
  Env &f = Env::of(e);
  f.noteCall("NewObjectV");
  if (reinterpret_cast<Object *>(cls) != f.exception_.get() ||
      (id != reinterpret_cast<jmethodID>(&exceptionWithMessageId) &&
       id != reinterpret_cast<jmethodID>(&exceptionWithCauseId))) {
    f.violations.push_back("unexpected NewObject");
    return nullptr;
  }
  auto *message = as<String>(va_arg(args, jobject), Object::Kind::String);
  auto t = std::make_unique<Throwable>("java/lang/Exception",
                                       message != nullptr ? message->modifiedUtf8() : "");
  if (id == reinterpret_cast<jmethodID>(&exceptionWithCauseId))
    t->cause = as<Throwable>(va_arg(args, jobject), Object::Kind::Throwable);
  auto *p = t.get();
  f.objects_.push_back(std::move(t));
  return reinterpret_cast<jobject>(p);
}

jsize JNICALL getStringLength(JNIEnv *e, jstring s) {
  Env &f = Env::of(e);
  f.noteCall("GetStringLength");
  auto *str = as<String>(s, Object::Kind::String);
  return str != nullptr ? static_cast<jsize>(str->chars.size()) : 0;
}

const jchar *JNICALL getStringChars(JNIEnv *e, jstring s, jboolean *isCopy) {
  Env &f = Env::of(e);
  f.noteCall("GetStringChars");
  auto *str = as<String>(s, Object::Kind::String);
  if (str == nullptr) return nullptr;
  if (isCopy) *isCopy = JNI_FALSE;
  f.taken_.push_back({str, str->chars.data(), "GetStringChars"});
  ++f.acquisitions;
  return reinterpret_cast<const jchar *>(str->chars.data());
}

void release(Env &f, const Object *owner, const void *ptr, const char *what) {
  auto it = std::find_if(f.taken_.begin(), f.taken_.end(),
                         [&](const Env::Taken &t) { return t.owner == owner && t.ptr == ptr; });
  if (it == f.taken_.end()) {
    f.violations.push_back(std::string(what) + " of something not taken (or released twice)");
    return;
  }
  f.taken_.erase(it);
  ++f.releases;
}

void JNICALL releaseStringChars(JNIEnv *e, jstring s, const jchar *chars) {
  Env &f = Env::of(e);
  f.noteCall("ReleaseStringChars", true);
  release(f, reinterpret_cast<Object *>(s), chars, "ReleaseStringChars");
}

const char *JNICALL getStringUTFChars(JNIEnv *e, jstring s, jboolean *isCopy) {
  Env &f = Env::of(e);
  f.noteCall("GetStringUTFChars");
  auto *str = as<String>(s, Object::Kind::String);
  if (str == nullptr) return nullptr;
  if (isCopy) *isCopy = JNI_TRUE;
  const std::string utf = str->modifiedUtf8();
  char *copy = new char[utf.size() + 1];
  std::memcpy(copy, utf.c_str(), utf.size() + 1);
  f.taken_.push_back({str, copy, "GetStringUTFChars"});
  ++f.acquisitions;
  return copy;
}

void JNICALL releaseStringUTFChars(JNIEnv *e, jstring s, const char *chars) {
  Env &f = Env::of(e);
  f.noteCall("ReleaseStringUTFChars", true);
  const size_t before = f.taken_.size();
  release(f, reinterpret_cast<Object *>(s), chars, "ReleaseStringUTFChars");
  if (f.taken_.size() < before) delete[] chars;
}

jsize JNICALL getArrayLength(JNIEnv *e, jarray a) {
  Env &f = Env::of(e);
  f.noteCall("GetArrayLength");
  auto *arr = as<ByteArray>(a, Object::Kind::ByteArray);
  return arr != nullptr ? static_cast<jsize>(arr->bytes.size()) : 0;
}

jbyte *JNICALL getByteArrayElements(JNIEnv *e, jbyteArray a, jboolean *isCopy) {
  Env &f = Env::of(e);
  f.noteCall("GetByteArrayElements");
  auto *arr = as<ByteArray>(a, Object::Kind::ByteArray);
  if (arr == nullptr) return nullptr;
  if (isCopy) *isCopy = JNI_FALSE;
  arr->bytes.reserve(1);  // a valid pointer for an empty array too
  f.taken_.push_back({arr, arr->bytes.data(), "GetByteArrayElements"});
  ++f.acquisitions;
  return arr->bytes.data();
}

void JNICALL releaseByteArrayElements(JNIEnv *e, jbyteArray a, jbyte *elems, jint mode) {
  Env &f = Env::of(e);
  f.noteCall("ReleaseByteArrayElements", true);
  if (mode != JNI_ABORT)
    f.violations.push_back("ReleaseByteArrayElements in mode " + std::to_string(mode));
  release(f, reinterpret_cast<Object *>(a), elems, "ReleaseByteArrayElements");
}

jbyteArray JNICALL newByteArray(JNIEnv *e, jsize len) {
  Env &f = Env::of(e);
  f.noteCall("NewByteArray");
  if (f.newByteArrayFault == Fault::CppException) throw std::runtime_error("injected fault");
  if (f.newByteArrayFault == Fault::AccessViolation) {
    // Through a volatile so the compiler cannot turn it into a trap.
    volatile uintptr_t address = 0;
    *reinterpret_cast<volatile int *>(address) = 1;
  }
  if (f.failNewByteArrayAfter == f.newByteArrays++) {
    f.raise("java/lang/OutOfMemoryError", "injected");
    return nullptr;
  }
  if (len < 0) {
    f.violations.push_back("NewByteArray with a negative length");
    return nullptr;
  }
  auto arr = std::make_unique<ByteArray>(std::vector<jbyte>(static_cast<size_t>(len)));
  auto *p = arr.get();
  f.objects_.push_back(std::move(arr));
  return reinterpret_cast<jbyteArray>(p);
}

// No reference outlives a call here: each test changes what the class has
// (its LIB field comes and goes), which no loaded class of a JVM does, so
// the library must look its IDs up on every call, as it does where a
// reference cannot be made.
jweak JNICALL newWeakGlobalRef(JNIEnv *e, jobject) {
  Env::of(e).noteCall("NewWeakGlobalRef");
  return nullptr;
}

// Only an array the library made itself may be written in place; between
// the two calls no other JNI function may be called.
void *JNICALL getPrimitiveArrayCritical(JNIEnv *e, jarray a, jboolean *isCopy) {
  Env &f = Env::of(e);
  f.noteCall("GetPrimitiveArrayCritical");
  auto *arr = as<ByteArray>(a, Object::Kind::ByteArray);
  if (arr == nullptr) return nullptr;
  if (isCopy) *isCopy = JNI_FALSE;
  arr->bytes.reserve(1);
  f.taken_.push_back({arr, arr->bytes.data(), "GetPrimitiveArrayCritical"});
  ++f.acquisitions;
  return arr->bytes.data();
}

void JNICALL releasePrimitiveArrayCritical(JNIEnv *e, jarray a, void *elems, jint mode) {
  Env &f = Env::of(e);
  f.noteCall("ReleasePrimitiveArrayCritical", true);
  auto *arr = as<ByteArray>(a, Object::Kind::ByteArray);
  if (mode != 0 && mode != JNI_ABORT)
    f.violations.push_back("ReleasePrimitiveArrayCritical in mode " + std::to_string(mode));
  release(f, reinterpret_cast<Object *>(a), elems, "ReleasePrimitiveArrayCritical");
  if (arr != nullptr && mode == 0) arr->original = arr->bytes;  // a result, written on purpose
}

void JNICALL setByteArrayRegion(JNIEnv *e, jbyteArray a, jsize start, jsize len, const jbyte *buf) {
  Env &f = Env::of(e);
  f.noteCall("SetByteArrayRegion");
  auto *arr = as<ByteArray>(a, Object::Kind::ByteArray);
  if (arr == nullptr || start < 0 || len < 0 ||
      static_cast<size_t>(start) + static_cast<size_t>(len) > arr->bytes.size()) {
    f.violations.push_back("SetByteArrayRegion out of bounds");
    return;
  }
  if (len > 0) std::memcpy(arr->bytes.data() + start, buf, static_cast<size_t>(len));
  arr->original = arr->bytes;  // results are written by the library on purpose
}

}  // namespace

std::string String::modifiedUtf8() const {
  std::string out;
  for (char16_t c : chars) {
    if (c != 0 && c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {  // U+0000 takes two bytes in modified UTF-8
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

Env::Env()
    : mscapi_(new Class("com/qel/varnel/MSCAPI")),
      system_(new Class("java/lang/System")),
      exception_(new Class("java/lang/Exception")),
      manager_class_(new Class("java/lang/SecurityManager")),
      manager_(new Object(Object::Kind::Manager)),
      lib_(new String(u"mscapi")) {
  table_.GetVersion = getVersion;
  table_.FindClass = findClass;
  table_.NewWeakGlobalRef = newWeakGlobalRef;
  table_.GetPrimitiveArrayCritical = getPrimitiveArrayCritical;
  table_.ReleasePrimitiveArrayCritical = releasePrimitiveArrayCritical;
  table_.GetStaticFieldID = getStaticFieldID;
  table_.GetStaticObjectField = getStaticObjectField;
  table_.GetStaticMethodID = getStaticMethodID;
  table_.CallStaticObjectMethodV = callStaticObjectMethodV;
  table_.GetObjectClass = getObjectClass;
  table_.GetMethodID = getMethodID;
  table_.CallVoidMethodV = callVoidMethodV;
  table_.ExceptionOccurred = exceptionOccurred;
  table_.ExceptionCheck = exceptionCheck;
  table_.ThrowNew = throwNew;
  table_.Throw = throwObject;
  table_.ExceptionClear = exceptionClear;
  table_.PushLocalFrame = pushLocalFrame;
  table_.PopLocalFrame = popLocalFrame;
  table_.NewStringUTF = newStringUTF;
  table_.NewObjectV = newObjectV;
  table_.DeleteLocalRef = deleteLocalRef;
  table_.GetStringLength = getStringLength;
  table_.GetStringChars = getStringChars;
  table_.ReleaseStringChars = releaseStringChars;
  table_.GetStringUTFChars = getStringUTFChars;
  table_.ReleaseStringUTFChars = releaseStringUTFChars;
  table_.GetArrayLength = getArrayLength;
  table_.GetByteArrayElements = getByteArrayElements;
  table_.ReleaseByteArrayElements = releaseByteArrayElements;
  table_.NewByteArray = newByteArray;
  table_.SetByteArrayRegion = setByteArrayRegion;
  env_.functions = &table_;
  current = this;
}

Env::~Env() {
  for (const auto &t : taken_)
    if (t.what == "GetStringUTFChars") delete[] static_cast<const char *>(t.ptr);
  if (current == this) current = nullptr;
}

Env &Env::of(JNIEnv *) {
  return *current;
}

void Env::raise(const std::string &cls, const std::string &msg) {
  auto t = std::make_unique<Throwable>(cls, msg);
  pending_ = t.get();
  objects_.push_back(std::move(t));
}

void Env::noteCall(const char *name, bool isRelease) {
  for (const auto &t : taken_)
    if (t.what == "GetPrimitiveArrayCritical" && std::strcmp(name, "ReleasePrimitiveArrayCritical"))
      violations.push_back(std::string(name) + " called inside a critical region");
  if (pending_ != nullptr && !isRelease) {
    ++nonReleaseCallsWhilePending;
    violations.push_back(std::string(name) + " called with an exception pending");
  }
}

jstring Env::string(const std::u16string &s) {
  auto str = std::make_unique<String>(s);
  auto *p = str.get();
  objects_.push_back(std::move(str));
  return reinterpret_cast<jstring>(p);
}

jstring Env::string(const std::string &ascii) {
  return string(std::u16string(ascii.begin(), ascii.end()));
}

jbyteArray Env::bytes(const std::vector<uint8_t> &b) {
  auto arr = std::make_unique<ByteArray>(std::vector<jbyte>(b.begin(), b.end()));
  auto *p = arr.get();
  objects_.push_back(std::move(arr));
  return reinterpret_cast<jbyteArray>(p);
}

std::vector<uint8_t> Env::contents(jbyteArray a) const {
  auto *arr = as<ByteArray>(a, Object::Kind::ByteArray);
  return arr != nullptr ? std::vector<uint8_t>(arr->bytes.begin(), arr->bytes.end())
                        : std::vector<uint8_t>();
}

void Env::finishCall() {
  for (const auto &t : taken_) violations.push_back(t.what + " never released");
  for (const auto &t : taken_)
    if (t.what == "GetStringUTFChars") delete[] static_cast<const char *>(t.ptr);
  taken_.clear();
  for (const auto &o : objects_) {
    if (o->kind != Object::Kind::ByteArray) continue;
    auto *a = static_cast<ByteArray *>(o.get());
    if (a->bytes != a->original) violations.push_back("an input array's contents changed");
  }
}

}  // namespace fakejni
