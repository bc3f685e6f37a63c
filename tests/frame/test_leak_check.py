"""The leak check itself catches leaks: a planted one, in memory and in a reference count."""

import ctypes
import pytest
def test_a_planted_leak_is_caught(assert_no_leak):
    def leaky():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))
    with pytest.raises(AssertionError, match="every round"):
        assert_no_leak(leaky, calls=500)
    text = "x"
    with pytest.raises(AssertionError, match="reference counts"):
        assert_no_leak(lambda: ctypes.pythonapi.Py_IncRef(ctypes.py_object(text)), watched=(text,), calls=500)
