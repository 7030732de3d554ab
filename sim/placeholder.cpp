// Module model sources land beside this file.
