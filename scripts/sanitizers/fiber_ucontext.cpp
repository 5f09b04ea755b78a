// Sanitizer builds only: the per-thread record of the running fiber that
// Boost.Context's ucontext back end expects from its compiled library.
//
// The coroutines of the storage client switch stacks. With Boost.Context's
// default assembly back end, AddressSanitizer and ThreadSanitizer never learn
// of a switch: they take poison left on one coroutine stack for an overflow
// on another, and lose their shadow call stacks. scripts/sanitize.sh
// therefore builds its trees with BOOST_USE_UCONTEXT and BOOST_USE_ASAN or
// BOOST_USE_TSAN, which make the fiber announce every switch to the
// sanitizer. The distribution's libboost_context is built for the assembly
// back end and lacks the one function below; every C++ binary of a sanitizer
// tree links this file (hidden, like the rest of the tree), so each binary
// keeps its own record, as the library would for itself.
#include <boost/context/fiber.hpp>

#if !defined(BOOST_USE_UCONTEXT)
#error "built only for the ucontext back end"
#endif

namespace boost { namespace context { namespace detail {

namespace {
// Zero-initialised per thread; the thread's main context record is made on
// first use and deleted when the thread ends.
thread_local fiber_activation_record* _T_current = nullptr;
thread_local std::size_t _T_users = 0;
}  // namespace

fiber_activation_record_initializer::fiber_activation_record_initializer() noexcept {
  if (_T_users++ == 0) {
    _T_current = new fiber_activation_record();
  }
}

fiber_activation_record_initializer::~fiber_activation_record_initializer() {
  if (--_T_users == 0) {
    delete _T_current;
    _T_current = nullptr;
  }
}

fiber_activation_record*& fiber_activation_record::current() noexcept {
  thread_local fiber_activation_record_initializer initializer;
  return _T_current;
}

}}}  // namespace boost::context::detail
