def import_database(source_dir, dest_path):
    raise NotImplementedError
