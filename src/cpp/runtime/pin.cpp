// Pinning the memory of a held export: a weak reference to the NumPy array that
// owns it, which NumPy's resize refuses to move even without its reference check.
#include "runtime/buffer.hpp"

namespace tavo::runtime {
namespace {

MemoryOwner memory_owner = nullptr;

} // namespace

void set_memory_owner(MemoryOwner owner) noexcept { memory_owner = owner; }

PyObject *pin_memory(PyObject *exporter) noexcept {
  PyObject *owner = memory_owner != nullptr && exporter != nullptr ? memory_owner(exporter) : nullptr;
  // NumPy's arrays take weak references; should some array type not, it stays unpinned.
  if (owner == nullptr || !PyType_SUPPORTS_WEAKREFS(Py_TYPE(owner))) return Py_NewRef(Py_None);
  return PyWeakref_NewRef(owner, nullptr);
}

} // namespace tavo::runtime
