"""What the end-to-end benchmarks print of the machine they ran on."""
from __future__ import annotations

import os
import platform


def describe(*extra: str) -> str:
    """Cores, CPU model, kernel and Python, then whatever versions the caller adds."""
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return ", ".join([f"{os.cpu_count()} cores ({cpu})", f"Linux {platform.release()}",
                      f"Python {platform.python_version()}", *extra])
