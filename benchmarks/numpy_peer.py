"""The five blocks in plain NumPy, as a modeller would write them: the peer
that the benchmarks compare tarnlet with. Same functions, same results."""
from types import SimpleNamespace

import numpy as np

TINY = 1e-12


def _euler(derivatives):
    def euler_step(x, u, *rest):
        *pars, dt = rest
        x = np.asarray(x, dtype=np.float64)
        return x + float(dt) * derivatives(x, u, *pars)
    return euler_step


# ---- sewer storage ----------------------------------------------------------

def _sewer_storage(x, spar):
    h = max(spar[2], x[23])
    return h, h * spar[0], (h - spar[2]) ** 1.5 * spar[1]


def sewer_outputs(x, u, pars, spar):
    x, u, pars, spar = (np.asarray(v, dtype=np.float64) for v in (x, u, pars, spar))
    h, v, q_out = _sewer_storage(x, spar)
    y = np.empty(27)
    y[:18] = x[:18] / v
    w = pars[[19, 20, 21, 21, 22, 23, 21, 24, 24]]
    s = w[0] * x[9]
    for k in range(1, 9):
        s = s + w[k] * x[9 + k]
    y[18] = s / v
    y[19] = q_out
    y[20] = u[20]
    y[21:26] = x[18:23] / v
    y[26] = h
    return y


def sewer_derivatives(x, u, pars, spar):
    x, u, spar = (np.asarray(v, dtype=np.float64) for v in (x, u, spar))
    h, v, q_out = _sewer_storage(x, spar)
    q_in = u[19]
    dx = np.empty(24)
    dx[:18] = q_in * u[:18] - (q_out * x[:18]) / v
    dx[18:23] = q_in * u[21:26] - (q_out * x[18:23]) / v
    dx[23] = (q_in - q_out) / spar[0]
    return dx


# ---- first flush ------------------------------------------------------------

def _flow_factor(q, p1):
    g = (q / 10000) ** p1[2]
    k = (p1[1] / 10000) ** p1[2]
    return g / (k + g)


def sedlift_outputs(x, u, sspars):
    x, u, p1 = (np.asarray(v, dtype=np.float64) for v in (x, u, sspars))
    xc = np.where(x < 0, 0.0, x)
    q = u[0]
    qs = q if q > TINY else TINY
    t = min(max(xc[0] / p1[0], 0.0), 1.0) if p1[0] > TINY else 0.0
    f = _flow_factor(q, p1)
    return np.concatenate(([q], ((xc * f) * p1[3]) / qs + t * u[1:7], [xc[0]], xc[1:] / 1000))


def sedlift_derivatives(x, u, sspars):
    x, u, p1 = (np.asarray(v, dtype=np.float64) for v in (x, u, sspars))
    q = u[0]
    h = min(max(1 - x[0] / p1[0], 0.0), 1.0) if p1[0] > TINY else 1.0
    return (q * u[1:7]) * h - (_flow_factor(q, p1) * x) * p1[3]


# ---- soil reservoir ----------------------------------------------------------

def loamtank_outputs(x, u, par):
    x, u, par = (np.asarray(v, dtype=np.float64) for v in (x, u, par))
    level = x[0]
    cap = par[3] * par[2]
    return np.array([0.0 if par[1] > level else np.sqrt(level - par[1]) * par[4],
                     0.0 if cap > u[0] else u[0] - cap, par[5] * level, level])


def loamtank_derivatives(x, u, par):
    x, u, par = (np.asarray(v, dtype=np.float64) for v in (x, u, par))
    h = 0.0 if 0.0 > x[0] else x[0]
    cap = par[2] * par[3]
    q_in = cap if cap < u[0] else u[0]
    q_drain = np.sqrt(h - par[1] if h > par[1] else 0.0) * par[4]
    q_2 = 0.0 if h >= par[0] else u[1]
    return np.array([(((q_in + q_2) - q_drain) - par[5] * h) * (1.0 / par[2])])


# ---- stream blocks -----------------------------------------------------------

BACKGROUND = np.r_[0, 5:9, 10, 12, 16:36, 37:54]


def fractionation_compute(u, pars, fractions, bg_values):
    u, p, fr, bg = (np.asarray(v, dtype=np.float64) for v in (u, pars, fractions, bg_values))
    qd = u[11] if u[11] > TINY else TINY
    qx = u[11] - u[10]
    qx = 0.0 if qx < 0 else qx
    load = u[5:10] + u[0:5]
    a = qx * fr[2]
    y = np.empty(54)
    if load[0] >= a:
        y[1:4] = [(load[0] - a) * fr[0] / qd, (load[0] - a) * fr[1] / qd, a / qd]
    else:
        y[1:4] = [0.0, 0.0, load[0] / qd]
    y[[4, 9, 11, 13, 14, 15]] = (fr[3:9] * load[[2, 3, 4, 1, 1, 1]]) / qd
    y[BACKGROUND] = bg[:44]
    s1 = y[29] + y[27] + y[30] + y[31] + y[32] + y[33] + y[34] + y[35]
    i = (p[30] * (y[15] + y[16] + y[19] + y[20] + y[28] + y[50])
         + (p[28] * y[13] + p[29] * y[14])) + p[155] * y[17]
    if p[154] > TINY:
        i = i + y[18] / p[154]
    s = (((s1 + i) + (y[41] + y[40] + y[42] + y[43] + y[44]))
         + (y[47] + y[45] + y[48] + y[49])) + (y[52] + y[51] + y[53])
    y[36] = 0.0 if s < 0 else s
    return y


def combiner_combine(stream_a, stream_b):
    a, b = np.asarray(stream_a, dtype=np.float64), np.asarray(stream_b, dtype=np.float64)
    q = b[37] + a[37]
    y = np.zeros(56) if q <= TINY else (b[37] * b + a[37] * a) / q
    y[37] = q
    return y


def _block(outputs, derivatives, n):
    return SimpleNamespace(initialize_state=lambda xinit: np.array(xinit, dtype=np.float64),
                           outputs=outputs, derivatives=derivatives,
                           euler_step=_euler(derivatives), NSTATES=n)


sewer = _block(sewer_outputs, sewer_derivatives, 24)
sedlift = _block(sedlift_outputs, sedlift_derivatives, 6)
loamtank = _block(loamtank_outputs, loamtank_derivatives, 1)
fractionation = SimpleNamespace(compute=fractionation_compute)
combiner = SimpleNamespace(combine=combiner_combine)
