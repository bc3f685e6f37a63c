import pathlib
import sys

# The command's tests share helpers.py beside them.
sys.path.insert(0, str(pathlib.Path(__file__).parent))
