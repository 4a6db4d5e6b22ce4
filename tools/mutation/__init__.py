"""The pieces of tools/mutate.py: mutation sites in C++ (cpp) and Python
(python), the areas, equivalence and the seeded sample (sites), the working
copy, its build and the test runs (runner), and the report (report)."""
