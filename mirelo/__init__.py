from ._mirelo import *  # noqa: F401,F403
