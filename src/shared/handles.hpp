// Deleters that hand a C library's objects back to the library's own free
// function, so every C handle lives in a std::unique_ptr:
//   using PgConn = std::unique_ptr<PGconn, handles::CFree<PQfinish>>;
#pragma once

namespace shared::handles {

template <auto Free>
struct CFree {
  template <class T>
  void operator()(T* p) const noexcept {
    if (p != nullptr) Free(p);
  }
};

}  // namespace shared::handles
