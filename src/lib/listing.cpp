// What a GraphStore lists of itself: nodes() and to_dot(). Each takes what
// it needs from the store in one short holding of the store's lock (a
// snapshot shares the store's append-only storage) and builds Python objects
// only after releasing it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lib/convert.h"
#include "lib/detach.h"
#include "lib/graph_store.h"
#include "lib/methods.h"
#include "store/dot.h"
#include "store/views.h"

namespace tavrine::py {

namespace {

// Interned key and kind texts, made once per process: every dict of a
// nodes() call shares them.
struct Texts {
  PyObject* id;
  PyObject* output;
  PyObject* inputs;
  PyObject* kind;
  PyObject* name;
  PyObject* params;
  PyObject* descriptor;
  PyObject* n_members;
  PyObject* members;
  PyObject* content_hash;
  PyObject* framework;
  PyObject* version;
  PyObject* io_schema;
  PyObject* preprocessing_ref;
  PyObject* input;
  PyObject* member;
  PyObject* kinds[kNodeKindCount];
  PyObject* empty;
};

const Texts& texts() {
  // Created under the interpreter's own once-only guard so that racing
  // threads of a free-threaded interpreter agree on one set.
  static Texts* t = [] {
    auto* x = new Texts{};
    auto intern = [](const char* s) { return check(PyUnicode_InternFromString(s)); };
    x->id = intern("id");
    x->output = intern("output");
    x->inputs = intern("inputs");
    x->kind = intern("kind");
    x->name = intern("name");
    x->params = intern("params");
    x->descriptor = intern("descriptor");
    x->n_members = intern("n_members");
    x->members = intern("members");
    x->content_hash = intern("content_hash");
    x->framework = intern("framework");
    x->version = intern("version");
    x->io_schema = intern("io_schema");
    x->preprocessing_ref = intern("preprocessing_ref");
    x->input = intern("input");
    x->member = intern("member");
    for (int k = 0; k < kNodeKindCount; ++k) {
      std::string_view n = kind_name(static_cast<NodeKind>(k));
      x->kinds[k] = check(PyUnicode_InternFromString(std::string(n).c_str()));
    }
    x->empty = intern("");
    return x;
  }();
  return *t;
}

PyObject* text(std::string_view s) {
  return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

void set(PyObject* dict, PyObject* key, Ref value) {
  if (PyDict_SetItem(dict, key, value.get()) < 0) throw_pyerr();
}
// The same with a borrowed value.
void put(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) < 0) throw_pyerr();
}

PyObject* param_value(const ParamValueRef& v) {
  switch (v.tag()) {
    case ParamValue::Tag::Int: return check(PyLong_FromLongLong(v.as_int()));
    case ParamValue::Tag::Float: return check(PyFloat_FromDouble(v.as_float()));
    case ParamValue::Tag::Bool: return Py_NewRef(v.as_bool() ? Py_True : Py_False);
    case ParamValue::Tag::Str: return text(v.as_str());
  }
  return nullptr;
}

PyObject* params_dict(ParamsView params) {
  Ref d = Ref::checked(PyDict_New());
  for (const ParamRef p : params) {
    Ref key = Ref::checked(text(p.key));
    if (PyDict_SetItem(d.get(), key.get(), Ref::checked(param_value(p.value)).get()) < 0) throw_pyerr();
  }
  return d.release();
}

PyObject* descriptor_dict(const DescriptorView& desc) {
  const Texts& t = texts();
  Ref d = Ref::checked(PyDict_New());
  set(d.get(), t.kind, Ref::checked(text(desc.kind())));
  set(d.get(), t.content_hash, Ref::checked(text(desc.content_hash())));
  set(d.get(), t.framework, Ref::checked(text(desc.framework())));
  set(d.get(), t.version, Ref::checked(text(desc.version())));
  set(d.get(), t.io_schema, Ref::checked(text(desc.io_schema())));
  const auto ref = desc.preprocessing_ref();
  set(d.get(), t.preprocessing_ref, ref ? Ref::checked(text(*ref)) : Ref::borrow(Py_None));
  return d.release();
}

PyObject* member_list(MembersView members) {
  const Texts& t = texts();
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(members.size())));
  Py_ssize_t i = 0;
  for (const MemberRef m : members) {
    auto parsed = parse_member_token(m.token());
    if (!parsed) raise(PyExc_ValueError, parsed.error().message().c_str());
    Ref d = Ref::checked(PyDict_New());
    set(d.get(), t.kind, Ref::checked(text(parsed->kind)));
    set(d.get(), t.name, Ref::checked(text(parsed->name)));
    std::string params;  // the token's params in the stored form, read like a node's
    PayloadEncoder(params).params(parsed->params);
    set(d.get(), t.params, Ref::checked(params_dict(ParamsView(params.data()))));
    Ref refs = Ref::checked(PyList_New(static_cast<Py_ssize_t>(m.ref_count())));
    Py_ssize_t j = 0;
    for (std::uint32_t k = 0; k < m.ref_count(); ++k) {
      const StageRef r = m.ref(k);
      Ref index = Ref::checked(PyLong_FromUnsignedLongLong(r.index));
      PyObject* tag = r.kind == StageRef::Kind::Input ? t.input : t.member;
      PyList_SET_ITEM(refs.get(), j++, check(PyTuple_Pack(2, tag, index.get())));
    }
    set(d.get(), t.inputs, std::move(refs));
    PyList_SET_ITEM(list.get(), i++, d.release());
  }
  return list.release();
}

// Builds the dicts of nodes(). Every dict of a call starts as a copy of a
// prototype holding its keys in the documented order (copying a small dict
// copies its key table in one piece, where inserting key by key would grow
// it), then gets its values set. Ints are made once: the int of an id serves
// as that node's "id" and wherever the node is an input, and one name str
// serves every node of a payload.
class NodeDicts {
 public:
  NodeDicts(const Snapshot& snap, std::vector<PyObject*>& ids)
      : snap_(snap), ids_(ids), names_(snap.payload_count()), params_(snap.payload_count()) {
    const Texts& t = texts();
    PyObject* base[] = {t.id, t.output, t.inputs, t.kind, t.name, t.params};
    plain_ = make_prototype(base, {});
    PyObject* external[] = {t.descriptor};
    with_descriptor_ = make_prototype(base, external);
    PyObject* stage[] = {t.n_members, t.members};
    with_members_ = make_prototype(base, stage);
  }

  PyObject* node(NodeId id, bool output) {
    const Texts& t = texts();
    const NodeView n = snap_.node(id);
    const NodeKind kind = n.kind();
    PyObject* shape = kind == NodeKind::External ? with_descriptor_.get()
                      : kind == NodeKind::Stage  ? with_members_.get()
                                                 : plain_.get();
    Ref d = Ref::checked(PyDict_Copy(shape));
    // The int stays alive in this dict, which the result list keeps.
    Ref id_int = Ref::checked(PyLong_FromUnsignedLongLong(id));
    put(d.get(), t.id, id_int.get());
    ids_[id] = id_int.get();
    put(d.get(), t.output, output ? Py_True : Py_False);
    const std::span<const NodeId> inputs = n.inputs();
    Ref in = Ref::checked(PyList_New(static_cast<Py_ssize_t>(inputs.size())));
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      PyList_SET_ITEM(in.get(), static_cast<Py_ssize_t>(k), Py_NewRef(ids_[inputs[k]]));
    }
    put(d.get(), t.inputs, in.get());
    put(d.get(), t.kind, t.kinds[static_cast<int>(kind)]);
    Ref& name = names_[n.payload_id()];
    if (!name) name = kind_has_name(kind) ? Ref::checked(text(n.name())) : Ref::borrow(t.empty);
    put(d.get(), t.name, name.get());
    // Every node gets a dict of its own (callers may change it), copied from
    // one made per payload: a copy clones the key table in one piece.
    const ParamsView params = n.params();
    if (params.empty()) {
      set(d.get(), t.params, Ref::checked(PyDict_New()));
    } else {
      Ref& proto = params_[n.payload_id()];
      if (!proto) proto = Ref::checked(params_dict(params));
      set(d.get(), t.params, Ref::checked(PyDict_Copy(proto.get())));
    }
    if (kind == NodeKind::External) set(d.get(), t.descriptor, Ref::checked(descriptor_dict(n.descriptor())));
    if (kind == NodeKind::Stage) {
      set(d.get(), t.n_members, Ref::checked(PyLong_FromSize_t(n.members().size())));
      set(d.get(), t.members, Ref::checked(member_list(n.members())));
    }
    return d.release();
  }

 private:
  static Ref make_prototype(std::span<PyObject* const> keys, std::span<PyObject* const> more) {
    Ref d = Ref::checked(PyDict_New());
    for (PyObject* k : keys) set(d.get(), k, Ref::borrow(Py_None));
    for (PyObject* k : more) set(d.get(), k, Ref::borrow(Py_None));
    return d;
  }

  const Snapshot& snap_;
  std::vector<PyObject*>& ids_;  // borrowed: each held by its node's dict
  std::vector<Ref> names_;
  std::vector<Ref> params_;  // per payload, the params dict each node copies
  Ref plain_, with_descriptor_, with_members_;
};

}  // namespace

PyObject* store_nodes(PyObject* self) {
  const Store& store = store_of(self);
  Snapshot snap;
  std::vector<std::uint8_t> marked;
  run_detached(store.node_count(), [&](Interrupt*) {
    snap = store.snapshot();
    marked = output_mask(snap);
  });
  std::vector<PyObject*> ids(snap.size());
  NodeDicts dicts(snap, ids);
  // The dicts and lists made here cannot take part in a cycle before they
  // are returned, yet every collection that ran while they are made would
  // walk all of them made so far, again and again (half of the time of a
  // large call). So the collector pauses meanwhile and resumes after, if it
  // was on. (Another thread that turns it off in the middle of the call has
  // it back on when the call ends: collecting is never unsafe.)
  struct PauseCollector {
    int was_enabled = PyGC_Disable();
    ~PauseCollector() {
      if (was_enabled) PyGC_Enable();
    }
  } pause;
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(snap.size())));
  // Building runs attached: every few thousand nodes it steps aside briefly
  // and answers signals (an interrupt drops the list made so far).
  SignalCheck signals;
  InterruptCheck check(&signals);
  for (NodeId id = 0; id < snap.end_id(); ++id) {
    check.tick();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(id), dicts.node(id, marked[id] != 0));
  }
  return list.release();
}

PyObject* store_to_dot(PyObject* self) {
  const Store& store = store_of(self);
  bool ascii = false;
  std::string dot = run_detached(store.node_count(), [&](Interrupt* interrupt) {
    std::string out = render_dot(store.snapshot(), interrupt);
    ascii = std::all_of(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return out;
  });
  if (!ascii) return text(dot);
  // ASCII text is its own str buffer: the object is made attached and
  // filled detached (nobody else can see it yet).
  Ref out = Ref::checked(PyUnicode_New(static_cast<Py_ssize_t>(dot.size()), 127));
  void* dest = PyUnicode_DATA(out.get());
  run_detached(dot.size() / 64, [&](Interrupt*) { std::memcpy(dest, dot.data(), dot.size()); });
  return out.release();
}

}  // namespace tavrine::py
