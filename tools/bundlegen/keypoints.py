"""The fixed semantic layout of the 21 keypoints of a generated avatar.

A keypoint set is 21 rows of (x, y, z), 63 float32.  x and y are normalised
over the face crop: a point at continuous crop coordinate X (0 at the crop's
left edge, crop at its right edge) has x = 2 X / crop - 1, so pixel index i
(centre i + 0.5) sits at x = (2 i + 1) / crop - 1; y likewise downwards.  z is
the depth of the face surface towards the camera in the same units (the crop
half-side), clipped to -1..1.  "Left" and "right" are the viewer's.

Row  Name                   Row  Name
 0   brow_centre             11  right_eye_upper_lid
 1   left_brow_outer         12  mouth_left_corner      (lip)
 2   left_brow_inner         13  right_eye_lower_lid
 3   right_brow_inner        14  mouth_right_corner     (lip)
 4   right_brow_outer        15  left_cheek
 5   nose_tip                16  right_cheek
 6   upper_lip_top           17  lower_lip_bottom       (lip)
 7   left_eye_outer          18  chin
 8   left_eye_upper_lid      19  upper_lip_inner        (lip)
 9   left_eye_lower_lid      20  lower_lip_inner        (lip)
10   right_eye_outer

The lip rows are 6, 12, 14, 17, 19 and 20: the outer top and bottom of the
lips, the two corners, and the two edges of the mouth opening, so the mouth
opening is y[20] - y[19] and the blink state is y[9] - y[8] (left eye).
"""
import numpy as np

from face import FaceGeometry, Pose

NAMES = (
    "brow_centre", "left_brow_outer", "left_brow_inner", "right_brow_inner",
    "right_brow_outer", "nose_tip", "upper_lip_top", "left_eye_outer",
    "left_eye_upper_lid", "left_eye_lower_lid", "right_eye_outer",
    "right_eye_upper_lid", "mouth_left_corner", "right_eye_lower_lid",
    "mouth_right_corner", "left_cheek", "right_cheek", "lower_lip_bottom",
    "chin", "upper_lip_inner", "lower_lip_inner",
)
ROWS = len(NAMES)
LIP_ROWS = (6, 12, 14, 17, 19, 20)
EYE_ROWS = (7, 8, 9, 10, 11, 13)
assert ROWS == 21


def face_points(g: FaceGeometry):
    """The 21 keypoints of a face geometry, in face units (u, v, z)."""
    eu = g.EYE_U
    mv = g.MOUTH_V
    pts = [None] * ROWS
    pts[0] = g.at(0.0, -0.24)
    pts[1] = g.at(-eu - 0.11, g.BROW_V + 0.012)
    pts[2] = g.at(-eu + 0.11, g.BROW_V - 0.012)
    pts[3] = g.at(eu - 0.11, g.BROW_V - 0.012)
    pts[4] = g.at(eu + 0.11, g.BROW_V + 0.012)
    pts[5] = g.nose()
    for side, outer, upper, lower in ((-1, 7, 8, 9), (1, 10, 11, 13)):
        cu, cv, cz = g.eye(side)
        pts[outer] = g.at(side * (eu + g.EYE_RX * 0.95), g.EYE_V)
        pts[upper] = (cu, cv - g.eye_ry * 0.9, cz)
        pts[lower] = (cu, cv + g.eye_ry * 0.9, cz)
    pts[6] = g.at(0.0, mv - g.gap - g.UPPER_LIP * 0.8)
    pts[12] = g.at(-g.MOUTH_RX * 0.9, mv + 0.005)
    pts[14] = g.at(g.MOUTH_RX * 0.9, mv + 0.005)
    pts[17] = g.at(0.0, mv + g.gap + g.LOWER_LIP * 0.8)
    pts[19] = g.at(0.0, mv - g.gap * 0.5)
    pts[20] = g.at(0.0, mv + g.gap * 0.5)
    pts[15] = g.at(-0.38, 0.12)
    pts[16] = g.at(0.38, 0.12)
    pts[18] = g.at(0.0, 0.58)
    return np.array(pts, dtype=np.float64)


def project(points, pose: Pose, M, crop):
    """Face-unit points to crop-normalised keypoints through the pose and M.

    M is the 2x3 crop-to-canvas matrix over pixel indices (as the paste uses
    it); the pose places face units on the canvas in continuous coordinates.
    """
    c, s = np.cos(pose.roll), np.sin(pose.roll)
    u, v, z = points[:, 0], points[:, 1], points[:, 2]
    X = pose.cx + pose.scale * (c * u - s * v) - 0.5   # canvas pixel index coords
    Y = pose.cy + pose.scale * (s * u + c * v) - 0.5
    A = np.asarray(M, dtype=np.float64).reshape(2, 3)
    inv = np.linalg.inv(A[:, :2])
    xi, yi = inv @ np.stack([X - A[0, 2], Y - A[1, 2]])
    unit = crop / 2.0
    m_scale = np.sqrt(abs(np.linalg.det(A[:, :2])))
    zn = z * pose.scale / (m_scale * unit)
    out = np.stack([(xi + 0.5) / unit - 1.0, (yi + 0.5) / unit - 1.0, zn], axis=1)
    return np.clip(out, -1.0, 1.0).astype(np.float32)


def keypoints(g: FaceGeometry, pose: Pose, M, crop):
    """One 21 x 3 float32 keypoint set."""
    return project(face_points(g), pose, M, crop)
