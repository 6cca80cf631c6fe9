"""One on-disk segment of a vector collection: IVF search over bit-plane codes,"""

from typing import (
    Collection,
    Iterable,
    Iterator,
    Optional,
    Protocol,
    Sequence,
    SupportsFloat,
    SupportsIndex,
    Tuple,
    TypeVar,
    Union,
    final,
)

__all__ = [
    "ZevireDarir",
    "merge_segments",
    "slot_space_ok",
    "ivf_open_count",
    "set_residency",
    "scan_json_chunk",
    "scan_json_text",
    "scan_json_texts",
]

_T_co = TypeVar("_T_co", covariant=True)

# Integer arguments go through __index__, float arguments through float().
_Float = Union[SupportsFloat, SupportsIndex]

# A sequence argument of numbers: a list or tuple, a bytearray or memoryview,
# or a one-dimensional numpy array (which is not a typing.Sequence).
class _SequenceLike(Protocol[_T_co]):
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __iter__(self) -> Iterator[_T_co]: ...

# A dense vector: little-endian float32 bytes, or a sequence of numbers.
_Vector = Union[bytes, _SequenceLike[_Float]]
# Sparse terms of one row: [(term, weight), ...], each pair exactly a 2-tuple.
_SparseRow = Sequence[Tuple[SupportsIndex, _Float]]
# The PCA basis: exactly two sequences, [mean (dim values), comps (3 * dim values)].
_Pca = Sequence[_SequenceLike[_Float]]
# (id, distance or score) hits, ascending by distance or descending by score.
_Hits = list[Tuple[str, float]]

@final
class ZevireDarir:
    # The constructor is the type's __new__ (there is no __init__ of its own).
    # It has no description at runtime, so no docstring here, as for count.
    def __new__(
        cls,
        path: str,
        dim: SupportsIndex,
        n_bits: SupportsIndex = 2,
        skip_fields: Optional[Sequence[str]] = None,
    ) -> "ZevireDarir": ...
    def build(
        self,
        /,
        vectors: bytes,
        n: SupportsIndex,
        ids: Sequence[str],
        metadatas: Sequence[str],
        n_clusters: SupportsIndex,
        seed: SupportsIndex = 42,
        sparse: Optional[Sequence[_SparseRow]] = None,
        skip_index: Optional[Sequence[str]] = None,
        pca: Optional[_Pca] = None,
        quant_scale: _Float = 0.0,
    ) -> None:
        """Bulk build from contiguous little-endian f32 bytes (n*dim) + ids + metadata"""
    def search(
        self,
        /,
        query: _Vector,
        k: SupportsIndex,
        nprobe: SupportsIndex = 32,
        rerank: SupportsIndex = 400,
        filter_json: Optional[str] = None,
        ensure_target_k: bool = False,
    ) -> _Hits:
        """Approximate k nearest neighbours of `query` (little-endian f32 bytes or a"""
    def calibrate_nprobe(
        self,
        /,
        n_samples: SupportsIndex,
        k: SupportsIndex,
        target_recall: _Float,
        grid: _SequenceLike[SupportsIndex],
        rerank: SupportsIndex = 500,
        seed: SupportsIndex = 1234,
        background: bool = False,
    ) -> int:
        """The smallest nprobe of `grid` whose mean recall@k reaches `target_recall` when"""
    def add(
        self,
        /,
        id: str,
        vector: _Vector,
        metadata: Optional[str] = None,
        sparse: Optional[_SparseRow] = None,
    ) -> None:
        """Upsert one row: `vector` as little-endian f32 bytes or a sequence of floats,"""
    def search_hybrid(
        self,
        /,
        query: _Vector,
        sparse_query: _SparseRow,
        k: SupportsIndex,
        nprobe: SupportsIndex = 64,
        rerank: SupportsIndex = 500,
        filter_json: Optional[str] = None,
        rrf_k: _Float = 60.0,
        ensure_target_k: bool = False,
    ) -> _Hits:
        """Dense and sparse search of this segment fused by Reciprocal Rank Fusion: each"""
    def sparse_search(
        self, /, sparse_query: _SparseRow, k: SupportsIndex, filter_json: Optional[str] = None
    ) -> _Hits:
        """Rows by the dot product of `sparse_query` [(term, weight), ...] with their sparse"""
    def delete(self, /, id: str) -> bool:
        """Tombstone a row by id. Returns True if it existed and was live."""
    def flush(self, /) -> None:
        """Checkpoint: persist the in-RAM delta + tombstones and reset the WAL."""
    def compact(self, /) -> None:
        """Vacuum: fold the delta into the main index and drop tombstoned rows."""
    def rebuild(self, /, n_clusters: Optional[SupportsIndex] = None) -> None:
        """Full re-cluster: rebuild the index from scratch with fresh k-means and a"""
    # No description at runtime: no docstring.
    def count(self, /) -> int: ...
    def stats(self, /) -> Tuple[int, int, int]:
        """(main rows, delta rows, tombstoned slots) of the segment held now."""
    def fit_count(self, /) -> int:
        """Rows used by the held segment's last k-means fit."""
    def get_meta(self, /, ids: Sequence[str], max_result_bytes: Optional[SupportsIndex] = None) -> list[str]:
        """Batch metadata lookup: one JSON string per id ("null" if missing/deleted)."""
    # Returns (metadata texts, estimated memory units, temporary-null count).
    def get_meta_bounded(
        self, /, ids: Sequence[str], max_result_bytes: SupportsIndex, fast_upper: bool = False
    ) -> Tuple[list[str], int, int]:
        """Bounded source lookup: real metadata's estimated memory units plus a"""
    def has_ids(self, /, ids: Sequence[str]) -> list[bool]:
        """Batch existence probe: one bool per id, true when a LIVE row with that id is in"""
    def get_vectors(self, /, ids: Sequence[str]) -> list[list[float]]:
        """Dequantized f32 vectors for ids (empty list for missing). Backs PCA/3D viz."""
    def get_sparse(self, /, ids: Sequence[str]) -> list[list[Tuple[int, float]]]:
        """Per-id sparse terms (empty for missing). Backs LSM segment merge."""
    def quant_scale(self, /) -> float:
        """Global scale of the held segment's 8-bit rerank copies."""
    def format_version(self, /) -> Tuple[int, int]:
        """(format version the segment was opened at, format version this build writes)."""
    def pca_basis(self, /) -> Optional[Tuple[list[float], list[float]]]:
        """Persisted PCA basis (mean[dim], comps[3*dim]) computed at build time, or"""
    def ids_matching(self, /, filter_json: Optional[str] = None) -> list[str]:
        """All live ids matching a metadata filter (None/empty = all). Backs"""
    def count_matching(self, /, filter_json: Optional[str] = None) -> int:
        """Count live rows matching a filter (None/empty = all) without materializing"""
    # Returns ({field value: count}, indices into `ids` of the rows found here).
    def aggregate_by_ids(self, /, field: str, ids: Sequence[str]) -> Optional[Tuple[dict[str, int], list[int]]]:
        """Group the given ids by a STRING metadata field, returning"""
    def exists_matching(self, /, filter_json: Optional[str] = None) -> bool:
        """True if any live row matches the filter (short-circuits). Backs exists()."""
    def set_durability(self, /, interval: SupportsIndex) -> None:
        """Group commit: flush the log after every `interval` logged operations"""
    def set_wal_sync_ms(self, /, ms: SupportsIndex) -> None:
        """Time-based group commit: flush the log at the first logged operation `ms`"""
    def wal_sync_count(self, /) -> int:
        """Log flushes made by group commit on the held segment."""
    def sync(self, /) -> None:
        """Make the log tail durable now (a full-device flush; a checkpoint instead"""
    def close(self, /) -> None:
        """Let go of the held segment; the next call that needs it reopens it."""
    def verify_integrity(self, /) -> Tuple[bool, list[str]]:
        """At-rest fsck of this segment's data files against their recorded CRCs."""
    def ids_matching_limit(self, /, filter_json: Optional[str], limit: SupportsIndex) -> list[str]:
        """The first `limit` of the ids `ids_matching` would return, in the same order,"""

    # ---- static methods: lookups across the segments of columns, newest first ----

    # jobs: (sources, ids, query vectors as little-endian f32 bytes).
    @staticmethod
    def distances_to_many(
        jobs: Sequence[Tuple[Sequence["ZevireDarir"], Sequence[str], bytes]], parallel: bool = True
    ) -> list[list[float]]:
        """For each job (sources newest first, ids, query bytes): per id, the squared L2"""
    # Hit lists must be lists; `ban` may be any iterable of ids; `fill`'s
    # tombstones any container with len() and `in`. The result holds the
    # pooled ids, returned row indices, their scores, then five byte arrays:
    # distances and weights (f64), matched and filled flags, first columns (u8).
    @staticmethod
    def nmql_fuse(
        n_cols: SupportsIndex,
        clauses: Sequence[Tuple[SupportsIndex, _Float, bool, _Hits]],
        divs: _SequenceLike[_Float],
        ban: Optional[Iterable[str]],
        gates: Optional[Tuple[SupportsIndex, Optional[SupportsIndex], SupportsIndex]],
        has_should: bool,
        fill: Sequence[
            Tuple[Sequence["ZevireDarir"], Optional[Collection[str]], Sequence[Tuple[_Float, bytes]]]
        ],
        prefer: Sequence[Tuple[_Float, _Float, _Hits]],
        top: Optional[SupportsIndex],
        parallel: bool,
    ) -> Tuple[list[str], list[int], list[float], bytes, bytes, bytes, bytes, bytes]:
        """NMQL's multi-column fusion (`NimbrelTables._fuse_columns`), natively: see"""
    @staticmethod
    def meta_status_across(
        sources: Sequence["ZevireDarir"], ids: Sequence[str], metas: Sequence[str], parallel: bool = True
    ) -> bytes:
        """Per id, how the metadata of its live row in the first source holding one compares"""
    # columns: (sources, row indices or None for all); metas: one newline-separated text.
    @staticmethod
    def meta_status_columns(
        columns: Sequence[Tuple[Sequence["ZevireDarir"], Optional[_SequenceLike[SupportsIndex]]]],
        ids: Sequence[str],
        metas: str,
        parallel: bool = True,
    ) -> list[list[int]]:
        """For each column (sources newest first, and the row indices to judge, or None for"""

# Returns (rows written, ids left out).
def merge_segments(
    out: str,
    dirs: Sequence[str],
    tombstones: Sequence[str],
    n_clusters: SupportsIndex,
    scale: _Float,
    skip: Sequence[str],
    pca: Optional[_Pca],
    n_bits: SupportsIndex,
    seed: SupportsIndex = 42,
) -> Tuple[int, list[str]]:
    """Build one segment at `out` from the live rows of the segment directories `dirs`"""
def slot_space_ok(current: SupportsIndex, adding: SupportsIndex) -> bool:
    """Whether a segment with `current` rows can take `adding` more: their sum"""
def ivf_open_count() -> int:
    """How many times this process has tried to open a segment."""
def set_residency(prewarm: bool, mlock: bool) -> None:
    """Residency of the hot memory maps of segments opened from now on: prewarm"""
def scan_json_chunk(data: bytes, state: SupportsIndex = 0) -> Tuple[int, int, int, int]:
    """Return `(commas, openers, colons, next_state)` for a JSON byte chunk."""
def scan_json_text(text: str) -> Tuple[int, int, int]:
    """Return `(commas, openers, colons)` outside quoted strings in a JSON text."""

# A single str is refused at runtime, though typing counts it as Iterable[str].
def scan_json_texts(texts: Iterable[str]) -> Tuple[int, int, int]:
    """Aggregate independent JSON texts with one Python-to-native call and no joined copy."""
