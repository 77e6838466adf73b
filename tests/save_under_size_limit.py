"""Child process of test_index_file and test_quellix_file: builds an index (a vek_core one, or with
argv[3] "quellix" a quellix.Index), then saves it to argv[1] under a file-size limit of argv[2] bytes,
which makes the writes fail the way a full disk does. Prints "RuntimeError:<message>" or "saved"."""

import resource
import signal
import sys

import numpy as np

import vek_core

target, limit = sys.argv[1], int(sys.argv[2])
rows = np.random.default_rng(3).normal(size=(400, 16)).astype(np.float32)
if sys.argv[3:] == ["quellix"]:
    import quellix

    index = quellix.Index(16, "euclidean", seed=1)
    index.add(rows, num_threads=1)
    save = index.save
else:
    index = vek_core.HyperbolicIndex(16, metric="euclidean")
    for i, v in enumerate(rows):
        index.add_item_and_link(v, i, 20)
    save = index.save_index
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    save(target)
except RuntimeError as e:
    print("RuntimeError:" + str(e))
else:
    print("saved")
