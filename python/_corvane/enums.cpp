// The enumeration classes: one instance per member, created with the type and
// set as a class attribute; repr "Class.Member", __int__, and == / != against
// members of the same class and integers. No constructor, no hash, no __index__.
#include "enums.hpp"

#include <array>

#include "errors.hpp"

namespace corvane::py {
namespace {

struct EnumDef {
  const char* name;            // bare class name
  const char* qualified_name;  // type name, qualified by "builtins"
  const char* doc;
  std::array<const char*, 4> members;  // by value; nullptr past the last
  PyTypeObject* type = nullptr;
};

EnumDef g_risky_bin_policy{"RiskyBinPolicy",
                           "builtins.RiskyBinPolicy",
                           "Policy for handling risky binaries (shells, interpreters, etc.).",
                           {"DenyByDefault", "AllowWithWarning", "Disabled", nullptr}};
EnumDef g_inject_double_dash{"InjectDoubleDash",
                             "builtins.InjectDoubleDash",
                             "Mode for double-dash injection.",
                             {"Never", "AfterFlags", nullptr, nullptr}};
EnumDef g_risk_category{"RiskCategory",
                        "builtins.RiskCategory",
                        "Risk category for dangerous binaries.",
                        {"Shell", "Interpreter", "Spawner", "Privilege"}};

EnumDef* def_of(PyObject* self) noexcept {
  for (EnumDef* def : {&g_risky_bin_policy, &g_inject_double_dash, &g_risk_category}) {
    if (def->type == Py_TYPE(self)) return def;
  }
  return nullptr;
}

PyObject* enum_repr(PyObject* self) noexcept {
  return guard([&]() -> PyObject* {
    const EnumDef* def = def_of(self);
    const std::uint8_t value = enum_value(self);
    if (def == nullptr || value >= def->members.size() || def->members[value] == nullptr) {
      return raise_panic("enumeration member with an unknown value");
    }
    return PyUnicode_FromFormat("%s.%s", def->name, def->members[value]);
  });
}

PyObject* enum_int(PyObject* self) noexcept {
  return PyLong_FromLong(enum_value(self));
}

// The other operand as a signed 64-bit integer: an int directly, anything
// else through __index__. False (error cleared) when that is impossible.
bool as_i64(PyObject* other, long long& out) noexcept {
  PyObject* number = nullptr;
  if (PyLong_Check(other)) {
    Py_INCREF(other);
    number = other;
  } else {
    number = PyNumber_Index(other);
    if (number == nullptr) {
      PyErr_Clear();
      return false;
    }
  }
  out = PyLong_AsLongLong(number);
  Py_DECREF(number);
  if (out == -1 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
  return true;
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  const long long value = enum_value(self);
  long long other_value = 0;
  if (Py_IS_TYPE(other, Py_TYPE(self))) {
    other_value = enum_value(other);
  } else if (!as_i64(other, other_value)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  // Members have no order, with each other or with integers.
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = value == other_value;
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* create_enum_type(EnumDef& def) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_new, slot(&no_constructor)},
      {Py_tp_dealloc, slot(&dealloc_boxed<std::uint8_t>)},
      {Py_tp_repr, slot(&enum_repr)},
      {Py_tp_richcompare, slot(&enum_richcompare)},
      {Py_tp_hash, slot(&PyObject_HashNotImplemented)},
      {Py_nb_int, slot(&enum_int)},
      {0, nullptr},
  };
  PyType_Spec spec{def.qualified_name, static_cast<int>(sizeof(EnumBox)), 0,
                   static_cast<unsigned int>(kTypeFlags), slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  for (std::size_t value = 0; value < def.members.size() && def.members[value] != nullptr;
       ++value) {
    PyObject* member = box(tp, static_cast<std::uint8_t>(value));
    if (member == nullptr) {
      Py_DECREF(type);
      return nullptr;
    }
    // The type is immutable to Python code; its dict is filled here, once.
    const int rc = PyDict_SetItemString(tp->tp_dict, def.members[value], member);
    Py_DECREF(member);
    if (rc < 0) {
      Py_DECREF(type);
      return nullptr;
    }
  }
  PyType_Modified(tp);
  return type;
}

PyTypeObject* enum_type(EnumDef& def) {
  if (def.type == nullptr) {
    PyObject* type = nullptr;
    try {
      type = create_enum_type(def);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_panic(e.what());
    }
    def.type = reinterpret_cast<PyTypeObject*>(type);
  }
  return def.type;
}

}  // namespace

PyTypeObject* risky_bin_policy_type() {
  return enum_type(g_risky_bin_policy);
}
PyTypeObject* inject_double_dash_type() {
  return enum_type(g_inject_double_dash);
}
PyTypeObject* risk_category_type() {
  return enum_type(g_risk_category);
}

}  // namespace corvane::py
