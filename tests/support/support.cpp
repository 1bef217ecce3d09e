// Shared test helpers live here and in the headers beside this file.
