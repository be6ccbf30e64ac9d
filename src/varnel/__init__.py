"""varnel: network traffic turned into packet dictionaries and KDD-style feature rows."""
