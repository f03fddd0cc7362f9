#pragma once
// Integer arguments checked by name. Every binding registers its functions
// and methods through `def` here (or `Class<T>::def`), which gives each `int`
// and `long long` parameter the type `IntArg`: its caster takes any object,
// and before the call the object is turned into the parameter's type or
// refused with an error naming the function and the argument. A bool, a float
// (np.float32(3.5) included) or anything else without __index__ raises
// TypeError; an integer outside the parameter's range (32 or 64 bits) raises
// ValueError; NumPy integer scalars that fit are taken.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace norvi::py_bind {

namespace py = pybind11;

// The Python object given for an integer parameter, checked by the adapter below.
struct IntArg {
    py::handle object;
};

// `object` as an int or a long long; `function` and `name` name the argument
// in the error.
int int32_argument(py::handle object, const char* function, const char* name);
long long int64_argument(py::handle object, const char* function, const char* name);

namespace int_args_detail {

template <typename T>
constexpr bool is_int = std::is_same_v<T, int> || std::is_same_v<T, long long>;

template <typename T>
using arg_type = std::conditional_t<is_int<T>, IntArg, T>;

// The Python names of the parameters, in order: those of the py::arg extras,
// after "self" for a method whose first parameter is not among them, and
// pybind11's "argN" for parameters given no name.
struct ParamNames {
    std::vector<std::string> names;
    const char* operator[](std::size_t i) const { return names[i].c_str(); }
};

template <typename... Extra>
ParamNames param_names(std::size_t n_params, bool method, const Extra&... extra) {
    std::vector<const char*> given;
    (
        [&] {
            if constexpr (std::is_base_of_v<py::arg, Extra>) given.push_back(extra.name);
        }(),
        ...);
    ParamNames out;
    const std::size_t self = method && given.size() < n_params ? 1 : 0;
    for (std::size_t i = 0; i < n_params; ++i) {
        if (i < self) {
            out.names.emplace_back("self");
        } else if (i - self < given.size() && given[i - self] != nullptr) {
            out.names.emplace_back(given[i - self]);
        } else {
            out.names.push_back("arg" + std::to_string(i - self));
        }
    }
    return out;
}

template <typename T>
decltype(auto) unwrap(arg_type<T>&& value, const char* function, const char* name) {
    if constexpr (std::is_same_v<T, int>) {
        return int32_argument(value.object, function, name);
    } else if constexpr (std::is_same_v<T, long long>) {
        return int64_argument(value.object, function, name);
    } else {
        (void)function;
        (void)name;
        return std::forward<arg_type<T>>(value);
    }
}

// `f` with signature Ret(Args...) as a callable whose integer parameters are
// IntArg, checked in order before f is called.
template <typename Ret, typename... Args, typename F, std::size_t... Is>
auto adapt(F&& f, const char* function, ParamNames names, std::index_sequence<Is...>) {
    return [f = std::forward<F>(f), function, names = std::move(names)](arg_type<Args>... args) -> Ret {
        // Braced initialisation converts left to right: the first bad argument is named.
        std::tuple<Args...> values{unwrap<Args>(std::forward<arg_type<Args>>(args), function, names[Is])...};
        return f(std::forward<Args>(std::get<Is>(values))...);
    };
}

template <typename T>
struct signature;
template <typename Ret, typename... Args>
struct signature<Ret(Args...)> {
    using ret = Ret;
    static constexpr bool has_int = (is_int<Args> || ...);
    static constexpr std::size_t size = sizeof...(Args);
    template <typename F>
    static auto adapt(F&& f, const char* function, ParamNames names) {
        return int_args_detail::adapt<Ret, Args...>(std::forward<F>(f), function, std::move(names),
                                                    std::index_sequence_for<Args...>{});
    }
};
template <typename Ret, typename... Args>
struct signature<Ret (*)(Args...)> : signature<Ret(Args...)> {};
template <typename C, typename Ret, typename... Args>
struct signature<Ret (C::*)(Args...)> : signature<Ret(C&, Args...)> {};
template <typename C, typename Ret, typename... Args>
struct signature<Ret (C::*)(Args...) const> : signature<Ret(const C&, Args...)> {};

template <typename F, typename = void>
struct callable_signature : signature<std::decay_t<F>> {};
template <typename F>
struct callable_signature<F, std::void_t<decltype(&std::decay_t<F>::operator())>>
    : signature<typename py::detail::remove_class<decltype(&std::decay_t<F>::operator())>::type> {};

// Member functions are called through a lambda taking the object first.
template <typename F>
auto as_callable(F&& f) {
    if constexpr (std::is_member_function_pointer_v<std::decay_t<F>>) {
        return [f](auto& self, auto&&... args) -> decltype(auto) {
            return (self.*f)(std::forward<decltype(args)>(args)...);
        };
    } else {
        return std::forward<F>(f);
    }
}

}  // namespace int_args_detail

// f, with its int parameters checked by name, ready for a def of `function`
// with these extras; f itself when it takes no int. `method`: the first
// parameter is the bound object.
template <typename F, typename... Extra>
decltype(auto) with_named_ints(const char* function, bool method, F&& f, const Extra&... extra) {
    using Sig = int_args_detail::callable_signature<F>;
    if constexpr (Sig::has_int) {
        return Sig::adapt(int_args_detail::as_callable(std::forward<F>(f)), function,
                          int_args_detail::param_names(Sig::size, method, extra...));
    } else {
        return std::forward<F>(f);
    }
}

// m.def with the int parameters of f checked by name.
template <typename F, typename... Extra>
void def(py::module_& m, const char* name, F&& f, const Extra&... extra) {
    m.def(name, with_named_ints(name, false, std::forward<F>(f), extra...), extra...);
}

// A bound class whose def and def_static check the int parameters of the
// functions they register by name; everything else is py::class_.
template <typename T, typename... Options>
class Class : public py::class_<T, Options...> {
    using Base = py::class_<T, Options...>;

public:
    using Base::Base;

    template <typename First, typename... Rest>
    Class& def(First&& first, Rest&&... rest) {
        if constexpr (std::is_convertible_v<First, const char*> && sizeof...(Rest) >= 1) {
            def_named(true, first, std::forward<Rest>(rest)...);
        } else {
            Base::def(std::forward<First>(first), std::forward<Rest>(rest)...);
        }
        return *this;
    }

    template <typename F, typename... Extra>
    Class& def_static(const char* name, F&& f, const Extra&... extra) {
        Base::def_static(name, with_named_ints(name, false, std::forward<F>(f), extra...), extra...);
        return *this;
    }

private:
    template <typename F, typename... Extra>
    void def_named(bool method, const char* name, F&& f, const Extra&... extra) {
        Base::def(name, with_named_ints(name, method, std::forward<F>(f), extra...), extra...);
    }
};

}  // namespace norvi::py_bind

namespace pybind11::detail {

// Takes any object; the adapter checks it once the argument's name is known.
template <>
struct type_caster<norvi::py_bind::IntArg> {
    PYBIND11_TYPE_CASTER(norvi::py_bind::IntArg, const_name("int"));
    bool load(handle src, bool) {
        value.object = src;
        return true;
    }
};

}  // namespace pybind11::detail
