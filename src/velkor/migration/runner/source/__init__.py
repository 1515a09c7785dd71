"""Migration files: finding them (``discovery``), their content
(``document``), reading and checking one (``loading``, ``validation``), the
names the generated module keeps for itself (``reserved_names``) and the JSON
Schema for editors (``file_schema``, ``schema.json``)."""
