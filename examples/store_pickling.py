"""Let GraphStore objects travel through pickle (to worker processes, into
caches, across a multiprocessing queue).

The classes do not pickle by themselves. The canonical blob is the store's
durable form, so the recipe is a copyreg reducer that goes through it:

    import store_pickling
    store_pickling.register()
    pickle.loads(pickle.dumps(store))     # a new store with the same ids and marks

The pickle names `GraphStore.deserialize` and carries the blob, so the
receiving process needs only `tavrine_core`, not this module. Output marks
travel with the blob; a store recorded in Python has none.
"""

import copyreg
from collections.abc import Callable

from tavrine_core import GraphStore


def reduce_store(store: GraphStore) -> tuple[Callable[[bytes], GraphStore], tuple[bytes]]:
    """The pickle reduction of a store: rebuild it from its blob."""
    return GraphStore.deserialize, (store.serialize(),)


def register() -> None:
    """Registers the reducer with copyreg (idempotent). Every pickler that
    consults copyreg's table uses it, including cloudpickle."""
    copyreg.pickle(GraphStore, reduce_store)
