// GraphStore.serialize() and deserialize(): the canonical blob out of a
// store and a store out of a blob. The store is read in one short holding of
// its lock (a snapshot); the bytes are written and read detached.
#include "blob/blob.h"
#include "lib/convert.h"
#include "lib/detach.h"
#include "lib/graph_store.h"
#include "lib/methods.h"

namespace tavrine::py {

PyObject* store_serialize(PyObject* self, const BoundArgs& args) {
  auto outputs = convert_arg("outputs", [&] { return to_optional_ids(args[0]); });
  Store& store = store_of(self);
  Snapshot snap;
  std::span<const NodeId> out;
  if (outputs) {
    auto checked = store.snapshot_checked(*outputs);
    if (!checked) raise_bad_node_id(checked.error());
    snap = std::move(*checked);
    out = *outputs;
  } else {
    snap = store.snapshot();
    out = snap.marks();
  }
  const std::size_t work = snap.size();
  auto writer = run_detached(work, [&](Interrupt* interrupt) { return BlobWriter::prepare(snap, out, interrupt); });
  if (!writer) raise(PyExc_OverflowError, writer.error().message().c_str());
  // The bytes object is made attached and filled detached; nobody else can
  // see it until it is returned, and an interrupted write drops it.
  Ref bytes = Ref::checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(writer->size())));
  char* dest = PyBytes_AS_STRING(bytes.get());
  run_detached(work, [&](Interrupt* interrupt) { writer->write_to(dest, interrupt); });
  return bytes.release();
}

PyObject* store_deserialize(PyObject* /*self*/, const BoundArgs& args) {
  std::string_view data = convert_arg("data", [&] { return to_bytes(args[0]); });
  // The bytes object is immutable and the caller keeps it alive, so its
  // buffer is read detached.
  auto store = run_detached(data.size() / 64, [&](Interrupt* interrupt) { return read_blob(data, interrupt); });
  if (!store) raise(PyExc_ValueError, store.error().message().c_str());
  return wrap_store(std::move(*store));
}

}  // namespace tavrine::py
