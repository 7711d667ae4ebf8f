// Shapes of SDK call that many methods share: the private count and identifier methods, the public identifier
// list built from them, and calling a method of `self` by name (so subclasses can replace it).
#pragma once

#include "derive.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace vrex {

// self.<Name>(args...) through ordinary attribute lookup.
template <fixed_string Name, class... A>
Ref call_method(PyObject* self, A... args) {
    PyObject* const name = interned<Name>();
    if (name == nullptr) return Ref();
    PyObject* argv[] = {self, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

// The identifier-list family: count = self.<Count>(); [self.<Id>(i) for i in range(count)].
template <fixed_string Count, fixed_string Id>
PyObject* identifier_list(PyObject* self) {
    const Ref count = call_method<Count>(self);
    if (!count) return nullptr;
    const Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) return nullptr;
        const Ref id = call_method<Id>(self, index.get());
        if (!id || PyList_Append(list.get(), id.get()) < 0) return nullptr;
    }
    return list.release();
}

namespace detail {

// The type a wrapper's methods were installed on: the last class before `object` in the instance's MRO (a
// wrapper derives from object directly; a Python subclass comes before it).
inline PyTypeObject* own_type(PyObject* self) {
    PyObject* const mro = Py_TYPE(self)->tp_mro;
    if (mro == nullptr || PyTuple_GET_SIZE(mro) < 2) return nullptr;
    return reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, PyTuple_GET_SIZE(mro) - 2));
}

// Whether the instance's own dict holds anything (where an attribute shadowing a method would be).
inline bool has_instance_attributes(PyObject* self) {
    PyObject** const dict = _PyObject_GetDictPtr(self);
    return dict != nullptr && *dict != nullptr && PyDict_GET_SIZE(*dict) != 0;
}

// The method `name` as `self` would find it, when that is still the wrapper's own native method (not replaced on
// the class, overridden by a subclass, or shadowed in the instance's dict); else null. No exception is set.
inline PyMethodDescrObject* own_method(PyObject* self, PyTypeObject* own, PyObject* name) {
    PyObject* const found = _PyType_Lookup(Py_TYPE(self), name);
    if (found == nullptr || !Py_IS_TYPE(found, &PyMethodDescr_Type)) return nullptr;
    auto* const descr = reinterpret_cast<PyMethodDescrObject*>(found);
    if (descr->d_common.d_type != own || _PyType_Lookup(own, name) != found) return nullptr;
    if (has_instance_attributes(self)) return nullptr;
    return descr;
}

// The two private methods of an identifier list as `self` finds them, when both are still the wrapper's own
// (own_method); else nulls. A type that was found to have both keeps them in `cache` under its version tag: while
// the tag is unchanged (any change to the type or its bases gives it a new one, never an old one again) the
// lookups would give the same descriptors, so only the instance's dict is looked at again.
struct OwnPair {
    PyMethodDescrObject* count = nullptr;
    PyMethodDescrObject* id = nullptr;
};
struct OwnPairCache {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    OwnPair pair;
};
inline OwnPair own_pair(PyObject* self, PyObject* count_name, PyObject* id_name, OwnPairCache& cache) {
    PyTypeObject* const type = Py_TYPE(self);
    const bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    if (tagged && cache.type == type && cache.tag == type->tp_version_tag)
        return has_instance_attributes(self) ? OwnPair{} : cache.pair;
    PyTypeObject* const own = own_type(self);
    OwnPair pair;
    pair.count = own ? own_method(self, own, count_name) : nullptr;
    pair.id = pair.count ? own_method(self, own, id_name) : nullptr;
    if (pair.id == nullptr) pair.count = nullptr;
    // The lookups give the type a tag if it had none; a pair found is kept under it.
    if (pair.id != nullptr && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        cache = {type, type->tp_version_tag, pair};
    return pair;
}

// Copies of the SDK's strings, each with its terminator, one after another: in a buffer on the stack while they
// fit (a heap allocation per call would cost about as much as the SDK calls themselves), then in the heap. Used
// without the GIL: a copy that finds no memory returns false instead of throwing.
class TextCopies {
public:
    TextCopies() = default;
    TextCopies(const TextCopies&) = delete;
    TextCopies& operator=(const TextCopies&) = delete;

    bool add(const char* text) noexcept {
        const std::size_t n = std::strlen(text) + 1;
        if (n > capacity_ - size_ && !grow(n)) return false;
        std::memcpy(data_ + size_, text, n);
        size_ += n;
        return true;
    }
    // f(text) for each copy in order, until one returns false.
    template <class F>
    bool each(F&& f) const {
        for (std::size_t at = 0; at < size_;) {
            const char* const text = data_ + at;
            at += std::strlen(text) + 1;
            if (!f(text)) return false;
        }
        return true;
    }
    void clear() noexcept { size_ = 0; }

private:
    bool grow(std::size_t n) noexcept {
        if (n > SIZE_MAX / 4 - size_) return false;
        std::size_t capacity = capacity_ * 2;
        while (capacity < size_ + n) capacity *= 2;
        char* const bigger = new (std::nothrow) char[capacity];
        if (bigger == nullptr) return false;
        std::memcpy(bigger, data_, size_);
        heap_.reset(bigger);
        data_ = bigger;
        capacity_ = capacity;
        return true;
    }

    char local_[512];
    std::unique_ptr<char[]> heap_;
    char* data_ = local_;
    std::size_t size_ = 0;
    std::size_t capacity_ = sizeof local_;
};

// Raised from a private method's SDK call made on the direct path: the error gets the traceback entry that
// method would have added ("vrexsdk.chip.__Chip.__getChipCount").
inline void add_method_traceback(PyMethodDescrObject* descr) {
    add_traceback((std::string(descr->d_common.d_type->tp_name) + "." + descr->d_method->ml_name).c_str());
}

}  // namespace detail

// The same list, taking a direct path while both private methods are the wrapper's own: the SDK's count and
// identifier functions called in one stretch without the GIL (rather than two method calls, and one GIL release,
// per identifier), the same calls in the same order, the same status checks and errors. A subclass or a class
// attribute that replaces either method is called by name as above.
template <fixed_string Count, fixed_string Id, auto SdkCount, auto SdkId, class Policy = ExactText>
PyObject* identifier_list(PyObject* self) {
    PyObject* const count_name = interned<Count>();
    PyObject* const id_name = interned<Id>();
    if (count_name == nullptr || id_name == nullptr) return nullptr;
    static detail::OwnPairCache cache;  // only touched with the GIL held
    const auto [count_method, id_method] = detail::own_pair(self, count_name, id_name, cache);
    PyObject* const context = reinterpret_cast<ServiceObject*>(self)->context;
    if (id_method == nullptr || context == nullptr || context == Py_None ||
        reinterpret_cast<ContextObject*>(context)->c_vrexCtx == nullptr)
        return identifier_list<Count, Id>(self);  // the private methods report a missing context themselves
    vrex_ctx_t* const ctx = reinterpret_cast<ContextObject*>(context)->c_vrexCtx;

    // The SDK's strings are copied before its next call. A failing call ends the stretch for its status check;
    // one the check lets pass gives what the SDK left in the out-value (0, or "" for the preset null), as the
    // private method would. (An identifier that is not valid text raises only after the later ones were asked for.)
    int count = 0;
    int next = 0;
    detail::TextCopies ids;
    bool no_memory = false;
    const auto stretch = [&] {
        for (; next < count; ++next) {
            const char* id = nullptr;
            const int s = SdkId(ctx, next, &id);
            if (!ids.add(id != nullptr ? id : "")) {
                no_memory = true;
                return 0;
            }
            if (s < 0) return s;
        }
        return 0;
    };
    bool count_failed = false;
    int status = nogil([&] {  // the count and every identifier in one release of the GIL
        const int s = SdkCount(ctx, &count);
        if (s < 0) {
            count_failed = true;
            return s;
        }
        return stretch();
    });
    if (no_memory) return PyErr_NoMemory();
    if (count_failed) {
        if (!check(status, ctx)) {
            detail::add_method_traceback(count_method);
            return nullptr;
        }
        status = nogil(stretch);
        if (no_memory) return PyErr_NoMemory();
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (;;) {
        const bool failed = next < count;
        if (failed && !check(status, ctx)) {
            detail::add_method_traceback(id_method);
            return nullptr;
        }
        const bool appended = ids.each([&](const char* id) {
            const Ref text = Ref::steal(Policy::decode(id));
            if (!text) detail::add_method_traceback(id_method);
            return text && PyList_Append(list.get(), text.get()) == 0;
        });
        if (!appended) return nullptr;
        ids.clear();
        if (!failed) break;
        ++next;
        status = nogil(stretch);
        if (no_memory) return PyErr_NoMemory();
    }
    return list.release();
}

// The name a class-private method `Name` ("__getCount") of the type `Qualname` ("vrexsdk.chip.__Chip") is
// found under, mangled as Python mangles it: "_Chip__getCount".
template <fixed_string Qualname, fixed_string Name>
inline constexpr auto private_name = [] {
    constexpr std::string_view qualname(Qualname.value);
    constexpr std::string_view last = qualname.substr(qualname.rfind('.') + 1);
    constexpr std::string_view type = last.substr(last.find_first_not_of('_'));
    constexpr std::string_view name(Name.value);
    fixed_string<1 + type.size() + name.size() + 1> mangled;
    mangled.value[0] = '_';
    std::copy_n(type.data(), type.size(), mangled.value + 1);
    std::copy_n(name.data(), name.size(), mangled.value + 1 + type.size());
    return mangled;
}();

// The status check of a method that waits before it raises (so a script retrying in a loop does not hammer the
// device): on a failing status, time.sleep(seconds) through the module global `time`, with the GIL released by
// the sleep, then the check. True when the caller goes on.
inline bool check_after_wait(int status, vrex_ctx_t* ctx, double seconds) {
    if (status >= 0) return true;
    const Ref time = global<"time">();
    if (!time) return false;
    PyObject* const sleep = interned<"sleep">();
    const Ref delay = Ref::steal(PyFloat_FromDouble(seconds));
    if (sleep == nullptr || !delay) return false;
    PyObject* const args[] = {time.get(), delay.get()};
    if (!Ref::steal(PyObject_VectorcallMethod(sleep, args, 2, nullptr))) return false;
    return check(status, ctx);
}

}  // namespace vrex

// An identifier list as three rows of a method table: the public method `name` (docstring `doc`) returning
// [self.<count>(), then self.<id>(i) for each index], and the class-private `count` and `id` methods (`id`'s one
// parameter named `index`), implemented by `count_impl` and `id_impl`. The list calls them by their mangled names,
// derived from VREX_QUALIFIER, so a subclass that overrides one is heard.
#define VREX_IDENTIFIER_LIST(name, doc, count, count_impl, id, id_impl, index) \
    VREX_IDENTIFIER_ROWS(VREX_METHOD, (::vrex::identifier_list<VREX_PRIVATE(count), VREX_PRIVATE(id)>), name, doc, \
                         count, count_impl, id, id_impl, index)

// The same for a service wrapper whose private methods are the SDK's count and identifier functions
// (`sdk<count_sdk>`, `sdk<id_sdk>`): while they are the type's own, the list calls the SDK directly, the count
// and every identifier in one release of the GIL (identifier_list above).
#define VREX_SDK_IDENTIFIER_LIST(name, doc, count, count_sdk, id, id_sdk, index)                                 \
    VREX_IDENTIFIER_ROWS(VREX_METHOD,                                                                             \
                         (::vrex::identifier_list<VREX_PRIVATE(count), VREX_PRIVATE(id), count_sdk, id_sdk>), name, \
                         doc, count, (::vrex::sdk<count_sdk>), id, (::vrex::sdk<id_sdk>), index)

// The same in a module that is one optional SDK family (optional.hpp): the private rows are VREX_FAMILY_METHODs.
#define VREX_FAMILY_IDENTIFIER_LIST(name, doc, count, count_impl, id, id_impl, index) \
    VREX_IDENTIFIER_ROWS(VREX_FAMILY_METHOD, (::vrex::identifier_list<VREX_PRIVATE(count), VREX_PRIVATE(id)>),  \
                         name, doc, count, count_impl, id, id_impl, index)

#define VREX_PRIVATE(name) ::vrex::private_name<VREX_QUALIFIER, name>
#define VREX_IDENTIFIER_ROWS(row, list, name, doc, count, count_impl, id, id_impl, index) \
    VREX_METHOD(name, list, doc), row(count, count_impl, nullptr), row(id, id_impl, nullptr, index)
