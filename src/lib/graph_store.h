#pragma once
// The Python class GraphStore: one graph store (store/store.h) per object.
//
// The object holds a shared pointer to its store and never changes it after
// construction, so any thread may call any method; the store locks itself.
// Every method converts all of its arguments before it calls the store and
// builds its result after the store call returned: no Python code runs while
// the store's lock is held.
#include <memory>

#include "lib/pyref.h"
#include "store/store.h"

namespace tavrine::py {

// Creates the class; called once per process by the module's exec step.
PyTypeObject* create_graph_store_type();
// The class (nullptr before the module was first executed).
PyTypeObject* graph_store_type() noexcept;

// A new GraphStore object that owns `store` (a reduced or deserialized one).
PyObject* wrap_store(std::unique_ptr<Store> store);
PyObject* wrap_store(std::shared_ptr<Store> store);

// The store of a GraphStore instance (`self` of a GraphStore method).
Store& store_of(PyObject* self) noexcept;

// The `store` argument: a GraphStore instance, else the type mismatch for
// "GraphStore" (wrap in convert_arg("store", ...) for the prefix).
const std::shared_ptr<Store>& to_store(PyObject* obj);

// ValueError "no node with id {}".
[[noreturn]] void raise_bad_node_id(const BadNodeId& error);

}  // namespace tavrine::py
