"""Helpers for running a ComfyUI server; its modules are imported on their own."""
