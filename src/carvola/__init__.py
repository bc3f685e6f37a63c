"""Native helpers for an image-generation service.

The extension modules are imported on their own, for example ``carvola.brennic``;
importing this package loads none of them.
"""

__version__ = "0.1.0"
