"""The statistics records together: what all four share, the pickles they were written in, and
the native record against objects that only claim to be one."""

import copy
import dataclasses
import pickle
import sys

import pytest

from support import run_python

from tarnix.camd import CAMDInfo
from tarnix.ccolamd import CCOLAMDStats
from tarnix.colamd import COLAMDStats
from tarnix.spqr import SPQRFactor, SPQRInfo

RECORDS = [
    COLAMDStats.from_array(range(7)),
    CCOLAMDStats.from_array(range(7)),
    CAMDInfo.from_array(range(14)),
    SPQRInfo(*range(6), "colamd", 7, 8, 0.5, 0.25, 1.0, 2.0, 3.0, 6.0, 9),
]


@pytest.mark.parametrize("record", RECORDS, ids=lambda r: type(r).__name__)
def test_every_record_is_a_frozen_dataclass(record):
    cls = type(record)
    names = [f.name for f in dataclasses.fields(cls)]
    assert cls.__match_args__ == tuple(names) and cls.__dataclass_params__.frozen
    assert list(cls.__annotations__) == names and getattr(sys.modules[cls.__module__], cls.__name__) is cls
    for other in (copy.copy(record), copy.deepcopy(record), pickle.loads(pickle.dumps(record)),
                  dataclasses.replace(record), cls(**dataclasses.asdict(record))):
        assert type(other) is cls and other == record and hash(other) == hash(record)
    assert repr(record) == f"{cls.__name__}(" + ", ".join(f"{n}={getattr(record, n)!r}" for n in names) + ")"
    with pytest.raises(AttributeError):
        setattr(record, names[0], 1)
    with pytest.raises(AttributeError):
        delattr(record, names[-1])
    if cls is SPQRInfo:  # read-only slots: the fields keep their declared types whatever a caller does
        with pytest.raises(AttributeError):
            object.__setattr__(record, "nf", "x")
        assert all(f.default is None for f in dataclasses.fields(cls)) and cls() == cls(*[None] * len(names))


def test_pickles_written_before_still_load():
    stats = (b"\x80\x02ctarnix.colamd\nCOLAMDStats\nq\x00)\x81q\x01}q\x02(X\x0e\x00\x00\x00N_rows_ignoredq\x03K\x00"
             b"X\x0e\x00\x00\x00N_cols_ignoredq\x04K\x01X\x05\x00\x00\x00Ncmpaq\x05K\x02X\x06\x00\x00\x00statusq\x06"
             b"K\x03X\x05\x00\x00\x00info1q\x07K\x04X\x05\x00\x00\x00info2q\x08K\x05X\x05\x00\x00\x00info3q\tK\x06ub.")
    info = (b"\x80\x02ctarnix.spqr\n__kvt_unpickle_SPQRInfo\nq\x00ctarnix.spqr\nSPQRInfo\nq\x01J(\x16\xfe\x04N\x87q"
            b"\x02Rq\x03(NNNNNNNK\x02NNNX\x03\x00\x00\x00amdq\x04NNG?\xe0\x00\x00\x00\x00\x00\x00Ntq\x05b.")
    assert pickle.loads(stats) == COLAMDStats(*range(7))
    assert pickle.loads(info) == SPQRInfo(nf=2, ordering="amd", tol=0.5)
    assert pickle.dumps(SPQRInfo(nf=2, ordering="amd", tol=0.5), 2) == info


class Sub(SPQRInfo):
    pass


def test_subclasses_of_the_native_record():
    sub = Sub(nf=2)
    sub.note = "a subclass has an instance dict"
    back = pickle.loads(pickle.dumps(sub))
    assert type(back) is Sub and back == Sub(nf=2) and back.nf == 2
    assert sub != SPQRInfo(nf=2) and SPQRInfo(nf=2) != sub  # the classes differ
    unpickle = getattr(__import__("tarnix.spqr").spqr, "__kvt_unpickle_SPQRInfo")
    with pytest.raises(TypeError, match="int is not a subtype of tarnix.spqr.SPQRInfo"):
        unpickle(int, 0x4FE1628, None)


def test_objects_that_only_claim_the_class():
    class Impostor:
        __class__ = property(lambda self: SPQRInfo)

    impostor = Impostor()
    assert isinstance(impostor, SPQRInfo)
    # Compared by their fields, which an impostor does not have: neither side knows how.
    assert SPQRInfo(nf=1) != impostor and not (SPQRInfo(nf=1) == impostor)


def test_a_replaced_constructor_cannot_receive_the_statistics():
    # In a child: a class's __new__, once replaced, is not restored to the native one.
    proc = run_python("""
        import numpy as np
        from tarnix.spqr import SPQRFactor, SPQRInfo
        f = SPQRFactor(np.eye(3))
        SPQRInfo.__new__ = staticmethod(lambda cls, *a, **k: object())
        try:
            f.info
        except TypeError as e:
            print(e)
    """)
    assert proc.stdout == "SPQRInfo() returned object instead of SPQRInfo\n", proc.stderr
