"""k-means past one machine: the same fits over ``dask.array`` inputs on a Dask cluster.

Every worker assigns its own row chunks with the native kernels (the same assignment a
single-machine fit runs, so a chunk's labels are the ones that fit would give against the same
centers) and returns a small per-cluster summary; the summaries are added up in a tree whose
shape depends only on the chunk order, never on which worker ran what. The driver then updates
the centers exactly as the single-machine fit does. Chunks are read and summarised in runs of
consecutive chunks, one run per worker, and only centers and the few summaries whose pair
straddles two workers travel, so the bytes moved per iteration do not grow with the number of
rows. When a worker dies, the pass in progress starts over on the workers left (Dask recomputes
whatever the dead one held), so a fit survives losing one, with the same result.

    import dask.array as da
    from vantorix.dask import KMeans
    x = da.from_zarr(...)                         # (n, d), chunked by rows
    km = KMeans(n_clusters=1000, random_state=0).fit(x)
    km.cluster_centers_, km.inertia_history_, km.labels_ (a lazy dask array)

The package: ``_scheduling`` places chunks on workers, reduces their summaries and restarts a pass
that lost a worker; ``_dense`` drives the dense fit and ``_codes`` the fit over codes. The k-means
rules they apply between passes (the stopping rules, the dense update with its repair of empty
clusters, the spherical normalisation, the code vote) are the native classes' own.
"""

from ._codes import PQKMeans, encode
from ._dense import KMeans

__all__ = ["KMeans", "PQKMeans", "encode"]
