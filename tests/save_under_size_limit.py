"""Child process of test_index_file: builds an index, then saves it to argv[1] under a file-size limit
of argv[2] bytes, which makes the writes fail the way a full disk does. Prints "RuntimeError:<message>"
or "saved"."""

import resource
import signal
import sys

import numpy as np

import vek_core

target, limit = sys.argv[1], int(sys.argv[2])
index = vek_core.HyperbolicIndex(16, metric="euclidean")
for i, v in enumerate(np.random.default_rng(3).normal(size=(400, 16)).astype(np.float32)):
    index.add_item_and_link(v, i, 20)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    index.save_index(target)
except RuntimeError as e:
    print("RuntimeError:" + str(e))
else:
    print("saved")
