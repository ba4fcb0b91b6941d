"""The tracked pandas types: one shared base and operator table, and the two
families built on it (word-tracked and DAG-tracked)."""
