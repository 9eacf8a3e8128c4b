{
  "targets": [
    {
      "target_name": "varnex",
      "sources": ["src/addon.c"],
      "defines": ["NAPI_VERSION=8"],
      "cflags": ["<!@(pkg-config --cflags varnex)"],
      "libraries": ["<!@(pkg-config --libs varnex)"],
      "ldflags": ["-Wl,-rpath,<!(pkg-config --variable=libdir varnex)"]
    }
  ]
}
