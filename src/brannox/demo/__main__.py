"""``python -m brannox.demo``: run the demonstration (see docs/demo.md)."""

from brannox.demo import main

if __name__ == "__main__":
    raise SystemExit(main())
