"""3D similarity transformations, best fits and coordinate systems for metrology, on numpy arrays.

Points are column vectors; arrays of points have shape (N, 3), float64. A
Transformation maps p to s (R p + t) and stores 1/s in matrix[3, 3]. Angles are
radians; a positive turn about Z carries +Y onto +X. In an Order the first
letter acts first.
"""
import os
from typing import ClassVar, Optional, Union, overload

import numpy as np
import numpy.typing as npt

_ArrayLike = npt.ArrayLike
_Path = Union[str, bytes, os.PathLike]

class FitError(RuntimeError):
    """A fit (or Affine.from_points) found no transformation; the message gives the reason."""

class Order:
    """Sequence in which the elementary rotations act; the first letter acts first."""
    XYZ: ClassVar[Order]  # R = Mz @ My @ Mx
    XZY: ClassVar[Order]  # R = My @ Mz @ Mx
    YXZ: ClassVar[Order]  # R = Mz @ Mx @ My (the rotation without an order)
    YZX: ClassVar[Order]  # R = Mx @ Mz @ My
    ZXY: ClassVar[Order]  # R = My @ Mx @ Mz
    ZYX: ClassVar[Order]  # R = Mx @ My @ Mz
    __members__: ClassVar[dict[str, Order]]
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class AlignMode:
    """3-2-1 alignment: primary (plane normal), secondary and tertiary axis."""
    ZYX: ClassVar[AlignMode]
    ZXY: ClassVar[AlignMode]
    YZX: ClassVar[AlignMode]
    YXZ: ClassVar[AlignMode]
    XYZ: ClassVar[AlignMode]
    XZY: ClassVar[AlignMode]
    __members__: ClassVar[dict[str, AlignMode]]
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class PLPMode:
    """Plane-line-point alignment: priority of the features."""
    PLANE_LINE_POINT: ClassVar[PLPMode]
    PLANE_POINT_LINE: ClassVar[PLPMode]
    LINE_PLANE_POINT: ClassVar[PLPMode]
    LINE_POINT_PLANE: ClassVar[PLPMode]
    POINT_PLANE_LINE: ClassVar[PLPMode]
    POINT_LINE_PLANE: ClassVar[PLPMode]
    __members__: ClassVar[dict[str, PLPMode]]
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Transformation:
    """Similarity transformation p' = s (R p + t), stored as a 4x4 matrix with m[3, 3] = 1/s."""
    Order: ClassVar[type[Order]]
    @overload
    def __init__(self, matrix: _ArrayLike) -> None: ...
    @overload
    def __init__(self, translation: Optional[_ArrayLike] = None, angles: Optional[_ArrayLike] = None,
                 scale: float = 1.0, order: Optional[Order] = None, *,
                 matrix: Optional[_ArrayLike] = None) -> None: ...
    @staticmethod
    def identity() -> Transformation: ...
    @property
    def matrix(self) -> npt.NDArray[np.float64]:
        """New 4x4 array m[row, column]; m[:3, 3] is t, m[3, 3] is 1/scale."""
    @property
    def translation(self) -> npt.NDArray[np.float64]:
        """t as stored, not multiplied by the scale."""
    @property
    def scale(self) -> float: ...
    @property
    def affine_matrix(self) -> npt.NDArray[np.float64]:
        """[[s R, s t], [0, 1]]: maps [p, 1] in one product."""
    def __eq__(self, other: object) -> bool:
        """Exact equality of the 16 stored matrix elements."""
    def isclose(self, other: Transformation, tolerance: float = 1e-9) -> bool:
        """Every stored matrix element within tolerance of other's."""
    def angles(self, order: Optional[Order] = None) -> npt.NDArray[np.float64]:
        """Angles (x, y, z) in radians that rebuild the rotation in `order` (Order.YXZ without gimbal-lock case when None)."""
    def append(self, other: Transformation) -> None:
        """In place: self, then other (matrix other @ self)."""
    def prepend(self, other: Transformation) -> None:
        """In place: other, then self (matrix self @ other)."""
    def __matmul__(self, other: Transformation) -> Transformation:
        """other, then self: the matrix product self.matrix @ other.matrix."""
    def inverse(self) -> Transformation: ...
    @staticmethod
    def lerp(a: Transformation, t: float, b: Transformation) -> Transformation:
        """Element-wise a * (1 - t) + b * t; not re-orthonormalised."""
    def transform_points(self, points: _ArrayLike,
                         out: Optional[npt.NDArray[np.float64]] = None) -> npt.NDArray[np.float64]:
        """s (R p + t) for an (N, 3) array or one (3,) point, as a new array of the same shape or into `out`."""
    def rotate_vectors(self, vectors: _ArrayLike,
                       out: Optional[npt.NDArray[np.float64]] = None) -> npt.NDArray[np.float64]:
        """R v for an (N, 3) array or one (3,) vector: no translation, no scale."""
    # SciPy's Rotation interface (right-hand, active; see README): a single rotation gives a
    # Transformation (zero translation, scale 1), a stack of N a list of N.
    @staticmethod
    def from_euler(seq: str, angles: _ArrayLike, degrees: bool = False) -> Union[Transformation, list[Transformation]]:
        """'ZYX' upper case intrinsic, 'zyx' lower case extrinsic, 1 to 3 axes."""
    def as_euler(self, seq: str, degrees: bool = False) -> npt.NDArray[np.float64]:
        """(3,) angles of the rotation block; at a gimbal lock the third is 0 and a UserWarning is issued."""
    @staticmethod
    def from_rotvec(rotvec: _ArrayLike, degrees: bool = False) -> Union[Transformation, list[Transformation]]: ...
    def as_rotvec(self, degrees: bool = False) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def from_quat(quat: _ArrayLike) -> Union[Transformation, list[Transformation]]:
        """(x, y, z, w), the scalar last, normalised first."""
    def as_quat(self, canonical: bool = False) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def from_matrix(matrix: _ArrayLike) -> Union[Transformation, list[Transformation]]:
        """A 3x3 rotation matrix (or (N, 3, 3)), orthonormalised as SciPy does; a reflection raises ValueError."""
    def as_matrix(self) -> npt.NDArray[np.float64]:
        """The 3x3 rotation block."""
    def apply(self, vectors: _ArrayLike, inverse: bool = False) -> npt.NDArray[np.float64]:
        """transform_points, or with the inverse transformation."""
    def inv(self) -> Transformation: ...
    # Alignments: each returns a new Transformation or raises FitError. Planes are
    # (a, b, c, d) of a x + b y + c z + d = 0; lines (2, 3) arrays (point, direction).
    @staticmethod
    def frame_from_axes(x_axis: _ArrayLike, y_axis: _ArrayLike, origin: _ArrayLike) -> Transformation: ...
    @staticmethod
    def frame_in_plane(plane: _ArrayLike, side_point: _ArrayLike, positive: bool = True) -> Transformation: ...
    @staticmethod
    def frame_on_plane(plane: _ArrayLike, origin: _ArrayLike,
                       x_direction: Optional[_ArrayLike] = None) -> Transformation: ...
    @staticmethod
    def frame_from_3_planes(first: _ArrayLike, second: _ArrayLike, third: _ArrayLike, x_side_point: _ArrayLike,
                            x_positive: bool, z_side_point: _ArrayLike, z_positive: bool) -> Transformation: ...
    @staticmethod
    def frame_from_x_axis_and_plane(plane: _ArrayLike, start: _ArrayLike, end: _ArrayLike,
                                    offset: Optional[_ArrayLike] = None) -> Transformation: ...
    @staticmethod
    def plane_to_xy(plane: _ArrayLike, view_direction: _ArrayLike, origin: _ArrayLike) -> Transformation: ...
    @staticmethod
    def mirror(plane: _ArrayLike) -> Transformation: ...
    @staticmethod
    def rotation_about_axis(point: _ArrayLike, direction: _ArrayLike, angle: float) -> Transformation: ...
    @staticmethod
    def rotation_then_translation(direction: _ArrayLike, angle: float, translation: _ArrayLike) -> Transformation: ...
    @staticmethod
    def line_to_line(source_point: _ArrayLike, source_direction: _ArrayLike, target_point: _ArrayLike,
                     target_direction: _ArrayLike) -> Transformation: ...
    @staticmethod
    def three_point_alignment(source: _ArrayLike, target: _ArrayLike, positive_x: bool = True,
                              left_side: bool = True) -> tuple[Transformation, npt.NDArray[np.float64]]:
        """Returns (transformation, completed target); q1.x, q2.x, q2.y of target are ignored."""
    @staticmethod
    def align_321(mode: AlignMode, plane_points: _ArrayLike, plane_values: _ArrayLike, dir_points: _ArrayLike,
                  dir_values: _ArrayLike, point: _ArrayLike, point_value: float, plane_positive: bool = True,
                  dir_positive: bool = True) -> Transformation: ...
    @staticmethod
    def align_plane_line_point(mode: PLPMode, source_plane: _ArrayLike, target_plane: _ArrayLike,
                               source_line: _ArrayLike, target_line: _ArrayLike, source_point: _ArrayLike,
                               target_point: _ArrayLike) -> Transformation: ...

def matrices_from_euler(seq: str, angles: _ArrayLike, degrees: bool = False) -> npt.NDArray[np.float64]:
    """(N, 3, 3) right-hand rotation matrices, as Rotation.from_euler(seq, angles).as_matrix()."""
def euler_from_matrices(seq: str, matrices: _ArrayLike,
                        degrees: bool = False) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]]:
    """(angles (N, 3), gimbal_lock (N,)) of (N, 3, 3) rotation matrices."""
def matrices_from_rotvec(rotvec: _ArrayLike, degrees: bool = False) -> npt.NDArray[np.float64]: ...
def rotvec_from_matrices(matrices: _ArrayLike, degrees: bool = False) -> npt.NDArray[np.float64]: ...

class FitResult:
    """Outcome of a successful fit().

    The residual figures and the diagnostics (covariance, center, sigma0,
    redundancy, condition, statistics, rejected, point_covariance) are worked
    out when one of them is first read (with reject, the diagnostics at once);
    a pickled result carries both.
    """
    @property
    def transformation(self) -> Transformation:
        """A copy of the transformation that carries source onto target."""
    @property
    def pair_count(self) -> int: ...
    @property
    def source_indices(self) -> npt.NDArray[np.int64]:
        """(K,) source row of each pair."""
    @property
    def target_indices(self) -> npt.NDArray[np.int64]:
        """(K,) target row of each pair."""
    @property
    def residuals(self) -> npt.NDArray[np.float64]:
        """(K, 3) transformation(source) - target, unweighted; read-only."""
    @property
    def distances(self) -> npt.NDArray[np.float64]:
        """(K,) lengths of the residuals; read-only."""
    @property
    def mean_residual(self) -> float:
        """Mean of |weights * residual| as the C++ fit returns it."""
    @property
    def rms_residual(self) -> float: ...
    @property
    def max_residual(self) -> float: ...
    @property
    def scale_estimated(self) -> bool: ...
    @property
    def covariance(self) -> npt.NDArray[np.float64]:
        """(7, 7) covariance of (dtx, dty, dtz, wx, wy, wz, ds) about center (mm, radians, relative)."""
    @property
    def center(self) -> npt.NDArray[np.float64]:
        """(3,) weighted centroid of the target points of the pairs used."""
    @property
    def sigma0(self) -> float:
        """Standard deviation of unit weight from the residuals."""
    @property
    def redundancy(self) -> int: ...
    @property
    def condition(self) -> float: ...
    @property
    def statistics(self) -> npt.NDArray[np.float64]:
        """(K,) test statistic of each pair's residual."""
    @property
    def rejected(self) -> npt.NDArray[np.bool_]:
        """(K,) whether each pair was set aside as a gross error."""
    def point_covariance(self, points: _ArrayLike) -> npt.NDArray[np.float64]:
        """(3, 3) covariance of the image of a point, (N, 3, 3) for (N, 3) points."""

def fit(source: _ArrayLike, target: _ArrayLike, source_ids: Optional[_ArrayLike] = None,
        target_ids: Optional[_ArrayLike] = None, weights: Optional[_ArrayLike] = None,
        scale: bool = False, *, rotation: str = "free", translation: str = "xyz",
        sigma: Optional[float] = None, reject: Union[None, bool, float] = None) -> FitResult:
    """Least-squares Transformation carrying source onto target, paired by row or by identifier.

    weights: (N,), (N, 3) per coordinate, or (N, 3, 3) positive semi-definite matrices
    (the fit minimises the sum of r^T W r). The GIL is released while fitting.
    Raises FitError when no transformation is found, ValueError for wrong shapes,
    non-finite coordinates or bad weights, TypeError for non-numeric arrays.
    """

class CoordinateSystem:
    """An origin and three orthonormalised axes (Gram-Schmidt, x keeps its direction)."""
    def __init__(self, origin: Optional[_ArrayLike] = None, x_axis: Optional[_ArrayLike] = None,
                 y_axis: Optional[_ArrayLike] = None, z_axis: Optional[_ArrayLike] = None) -> None: ...
    @property
    def origin(self) -> npt.NDArray[np.float64]: ...
    @origin.setter
    def origin(self, value: _ArrayLike) -> None: ...
    @property
    def axes(self) -> npt.NDArray[np.float64]:
        """(3, 3), rows x, y, z."""
    @property
    def x_axis(self) -> npt.NDArray[np.float64]: ...
    @property
    def y_axis(self) -> npt.NDArray[np.float64]: ...
    @property
    def z_axis(self) -> npt.NDArray[np.float64]: ...
    def set_axes(self, x_axis: _ArrayLike, y_axis: _ArrayLike, z_axis: _ArrayLike) -> None: ...
    @staticmethod
    def check_axes_valid(x_axis: _ArrayLike, y_axis: _ArrayLike, z_axis: _ArrayLike) -> bool: ...
    def transform(self, transformation: Transformation) -> None: ...
    def transform_origin(self, transformation: Transformation) -> None: ...
    def equal_eps(self, other: CoordinateSystem, origin_tolerance: float, axis_tolerance: float) -> bool: ...

class LastAndGlobalTransformation:
    """The last and the global transformation with validity flags; saved as a ".trafo" file."""
    FILE_TYPE: ClassVar[str]
    def __init__(self, last_transformation: Transformation, last_valid: bool,
                 global_transformation: Transformation, global_valid: bool) -> None: ...
    @property
    def last_transformation(self) -> Transformation: ...
    @property
    def global_transformation(self) -> Transformation: ...
    @property
    def last_valid(self) -> bool: ...
    @property
    def global_valid(self) -> bool: ...
    def save(self, path: _Path) -> None:
        """OSError on failure; an existing file is kept then."""
    @staticmethod
    def load(path: _Path) -> LastAndGlobalTransformation:
        """ValueError when the file holds no such record, OSError when it cannot be read."""
    def export_report(self, path: _Path) -> None:
        """Readable text report; OSError on failure."""

class Quaternion:
    """A rotation (x, y, z, w), w last; its matrix is the transpose of the usual active one."""
    x: float
    y: float
    z: float
    w: float
    def __init__(self, x: float = 0.0, y: float = 0.0, z: float = 0.0, w: float = 1.0) -> None: ...
    @staticmethod
    def from_axis_angle(axis: _ArrayLike, angle: float) -> Quaternion: ...
    @staticmethod
    def from_angles(angles: _ArrayLike, order: Order) -> Quaternion: ...
    @staticmethod
    def from_transformation(transformation: Transformation) -> Quaternion: ...
    def as_array(self) -> npt.NDArray[np.float64]:
        """(x, y, z, w)."""
    def transformation(self) -> Transformation: ...
    def angles(self, order: Order) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def principal_angles(angles: _ArrayLike, order: Order) -> npt.NDArray[np.float64]: ...
    @property
    def axis(self) -> npt.NDArray[np.float64]: ...
    @property
    def length(self) -> float: ...
    def dot(self, other: Quaternion) -> float: ...
    def is_null(self) -> bool: ...
    def conjugate(self) -> Quaternion: ...
    def inverse(self) -> Quaternion: ...
    def normalized(self) -> Quaternion: ...
    def rotate_vectors(self, vectors: _ArrayLike,
                       out: Optional[npt.NDArray[np.float64]] = None) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def nlerp(q1: Quaternion, t: float, q2: Quaternion, shortest_path: bool = True) -> Quaternion: ...
    @staticmethod
    def slerp(q1: Quaternion, t: float, q2: Quaternion, shortest_path: bool = True) -> Quaternion: ...
    def __add__(self, other: Quaternion) -> Quaternion: ...
    def __sub__(self, other: Quaternion) -> Quaternion: ...
    def __neg__(self) -> Quaternion: ...
    @overload
    def __mul__(self, other: Quaternion) -> Quaternion:
        """Hamilton product: self acts first, then other."""
    @overload
    def __mul__(self, other: float) -> Quaternion: ...
    def __rmul__(self, other: float) -> Quaternion: ...
    def __truediv__(self, other: float) -> Quaternion: ...

class Affine:
    """x' = a0 + a1 x + a2 y + a3 x y, y' = a4 + a5 x + a6 y + a7 x y."""
    def __init__(self, coefficients: Optional[_ArrayLike] = None) -> None: ...
    @staticmethod
    def identity() -> Affine: ...
    @property
    def coefficients(self) -> npt.NDArray[np.float64]: ...
    @coefficients.setter
    def coefficients(self, value: _ArrayLike) -> None: ...
    def transform_points(self, points: _ArrayLike) -> npt.NDArray[np.float64]:
        """(N, 2) or (2,) in, new array of the same shape out."""
    def append(self, other: Affine) -> None: ...
    @staticmethod
    def from_points(source: _ArrayLike, target: _ArrayLike) -> Affine:
        """Exact mapping of four (4, 2) points; FitError when the source points do not determine one or the
        coefficients cannot hold it so far from the origin."""

class PointNames:
    """Identifier names of one run: the same name, the same id (below -1) in every file."""
    def __init__(self) -> None: ...
    def id_of(self, identifier: str) -> int: ...
    def name_of(self, id: int) -> str: ...
    def __len__(self) -> int: ...

class PointFile:
    """The points of a text file, one per line: [id] x y z [wx wy wz]."""
    @staticmethod
    def read(path: _Path, names: PointNames) -> PointFile:
        """OSError when the file cannot be read, ValueError ("file:line: reason") for a bad line."""
    @staticmethod
    def parse(text: str, names: PointNames, source_name: str = "<text>") -> PointFile: ...
    @property
    def points(self) -> npt.NDArray[np.float64]: ...
    @property
    def ids(self) -> Optional[npt.NDArray[np.int64]]: ...
    @property
    def weights(self) -> Optional[npt.NDArray[np.float64]]: ...
    @property
    def lines(self) -> npt.NDArray[np.int64]: ...
    @property
    def source_name(self) -> str: ...
    def __len__(self) -> int: ...

# Geometric elements fitted to probed points by orthogonal-distance least
# squares. Residuals are signed (plane: along the normal; circle, sphere,
# cylinder: positive outside; line: distances >= 0); form is largest minus
# smallest residual (line: twice the largest distance). Each fit raises
# FitError with the reason when the points do not fix the element.

class LineFit:
    """A fitted line."""
    @property
    def residuals(self) -> npt.NDArray[np.float64]:
        """(N,) signed orthogonal residual of each point, in input order; read-only."""
    @property
    def rms(self) -> float: ...
    @property
    def form(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def point(self) -> npt.NDArray[np.float64]:
        """The point of the line nearest the centroid."""
    @property
    def direction(self) -> npt.NDArray[np.float64]: ...

class PlaneFit:
    """A fitted plane."""
    @property
    def residuals(self) -> npt.NDArray[np.float64]:
        """(N,) signed orthogonal residual of each point, in input order; read-only."""
    @property
    def rms(self) -> float: ...
    @property
    def form(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def point(self) -> npt.NDArray[np.float64]:
        """The centroid."""
    @property
    def normal(self) -> npt.NDArray[np.float64]: ...
    @property
    def coefficients(self) -> npt.NDArray[np.float64]:
        """(a, b, c, d) of a x + b y + c z + d = 0."""

class CircleFit:
    """A fitted circle in 3D."""
    @property
    def residuals(self) -> npt.NDArray[np.float64]:
        """(N,) signed orthogonal residual of each point, in input order; read-only."""
    @property
    def rms(self) -> float: ...
    @property
    def form(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def center(self) -> npt.NDArray[np.float64]: ...
    @property
    def normal(self) -> npt.NDArray[np.float64]: ...
    @property
    def radius(self) -> float: ...

class SphereFit:
    """A fitted sphere."""
    @property
    def residuals(self) -> npt.NDArray[np.float64]:
        """(N,) signed orthogonal residual of each point, in input order; read-only."""
    @property
    def rms(self) -> float: ...
    @property
    def form(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def center(self) -> npt.NDArray[np.float64]: ...
    @property
    def radius(self) -> float: ...

class CylinderFit:
    """A fitted cylinder."""
    @property
    def residuals(self) -> npt.NDArray[np.float64]:
        """(N,) signed orthogonal residual of each point, in input order; read-only."""
    @property
    def rms(self) -> float: ...
    @property
    def form(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def point(self) -> npt.NDArray[np.float64]:
        """The point of the axis nearest the centroid."""
    @property
    def axis(self) -> npt.NDArray[np.float64]: ...
    @property
    def direction(self) -> npt.NDArray[np.float64]:
        """The same as axis."""
    @property
    def radius(self) -> float: ...

def fit_line(points: _ArrayLike, direction: Optional[_ArrayLike] = None) -> LineFit:
    """At least 2 points; direction from the first point towards the last, or along `direction`."""
def fit_plane(points: _ArrayLike, normal: Optional[_ArrayLike] = None) -> PlaneFit:
    """At least 3 points; normal by the right-hand order of the first three points, or along `normal`."""
def fit_circle(points: _ArrayLike, normal: Optional[_ArrayLike] = None) -> CircleFit:
    """At least 3 points; circle in 3D with its plane fitted jointly."""
def fit_sphere(points: _ArrayLike) -> SphereFit:
    """At least 4 points."""
def fit_cylinder(points: _ArrayLike, axis: Optional[_ArrayLike] = None) -> CylinderFit:
    """At least 5 points; `axis`: approximate axis direction for short partial cylinders."""
