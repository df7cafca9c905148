// Type creation shared by the nine classes.
#include "pyutil.hpp"

#include <vector>

namespace corvane::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
  if (name == nullptr || !PyUnicode_Check(name)) {
    Py_XDECREF(name);
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
  Py_DECREF(name);
  return nullptr;
}

PyTypeObject* make_type(const char* name, std::size_t basicsize,
                        std::initializer_list<PyType_Slot> slots, PyTypeObject*& cache) {
  if (cache == nullptr) {
    std::vector<PyType_Slot> all(slots);
    all.push_back({0, nullptr});
    PyType_Spec spec{name, static_cast<int>(basicsize), 0, static_cast<unsigned int>(kTypeFlags),
                     all.data()};
    cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }
  return cache;
}

}  // namespace corvane::py
