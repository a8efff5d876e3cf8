"""The per-user record of the packages the installer installed."""

import logging
from pathlib import Path

APP_NAME: str
APP_AUTHOR: str
LOGGER: logging.Logger
CONFIG_PATH: Path

def store_package_name(package: str) -> None: ...
def read_stored_packages() -> set[str]: ...
def remove_package_name(package: str) -> None: ...
