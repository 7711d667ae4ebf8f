// SDK families a real libVrexSdk may lack. The build looks for each family's functions in the SDK it is given
// (CMakeLists.txt) and defines VREX_HAVE_<FAMILY> to 1 or 0; the bundled simulator has them all. A module whose
// family is missing still builds with its whole method table, so help() and the stubs stay true, but every method
// of the family raises NotImplementedError naming what is missing instead of calling the SDK.
//
//     VREX_OPTIONAL_METHOD(VREX_HAVE_READBACK, "message", "getSelectedMode", (sdk<vrex_trigger_mode_get>), doc)
//
// The implementation is dropped by the preprocessor when the family is missing, so the module never names an SDK
// function the header does not declare. A module that is one family as a whole (bias, monitor) defines
// VREX_FAMILY (its flag) and VREX_FAMILY_MISSING (the message) once, lists VREX_FAMILY_METHOD entries, appends
// VREX_FAMILY_DOC to its docstrings and publishes the flag as `available` (ServiceModule::available).
#pragma once

#include "args.hpp"

#include <utility>

#ifndef VREX_HAVE_BIAS
#define VREX_HAVE_BIAS 1
#endif
#ifndef VREX_HAVE_MONITOR
#define VREX_HAVE_MONITOR 1
#endif
#ifndef VREX_HAVE_READBACK
#define VREX_HAVE_READBACK 1
#endif

namespace vrex {

namespace detail {

template <fixed_string Message, class Seq>
struct Unavailable;

template <fixed_string Message, std::size_t... I>
struct Unavailable<Message, std::index_sequence<I...>> {
    // Every parameter optional, so any call reaches the error instead of an argument-count complaint.
    template <std::size_t>
    using Arg = Optional;
    static PyObject* call(PyObject*, Arg<I>...) {
        PyErr_SetString(PyExc_NotImplementedError, Message.value);
        return nullptr;
    }
};

}  // namespace detail

// A method taking `Params` that raises NotImplementedError with `Message`.
template <fixed_string Message, fixed_string... Params>
inline constexpr auto unavailable = &detail::Unavailable<Message, std::make_index_sequence<sizeof...(Params)>>::call;

}  // namespace vrex

#define VREX_CAT_(a, b) a##b
#define VREX_CAT(a, b) VREX_CAT_(a, b)
#define VREX_IF_1(yes, no) yes
#define VREX_IF_0(yes, no) no
// VREX_IF(flag)(yes, no): `yes` when the flag (a macro) is 1, `no` when it is 0.
#define VREX_IF(flag) VREX_CAT(VREX_IF_, flag)

#define VREX_OPTIONAL_METHOD(have, missing, name, impl, doc, ...)                                             \
    VREX_METHOD(name, VREX_IF(have)(impl, (::vrex::unavailable<missing __VA_OPT__(, ) __VA_ARGS__>)), doc \
                __VA_OPT__(, ) __VA_ARGS__)

#define VREX_FAMILY_METHOD(name, impl, doc, ...) \
    VREX_OPTIONAL_METHOD(VREX_FAMILY, VREX_FAMILY_MISSING, name, impl, doc __VA_OPT__(, ) __VA_ARGS__)
// Said at the end of the module's and the type's docstrings when the family is missing.
#define VREX_FAMILY_DOC VREX_IF(VREX_FAMILY)("", "\n    " VREX_FAMILY_MISSING ".\n    ")
