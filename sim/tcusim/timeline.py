def write(sc, path):
    pass
