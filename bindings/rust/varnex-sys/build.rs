//! Links libvarnex from the folder VARNEX_LIB_DIR names (a build tree), or
//! else where pkg-config finds the installed package (libvarnex-dev).
use std::env;
use std::process::Command;

fn main() {
    println!("cargo:rerun-if-env-changed=VARNEX_LIB_DIR");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_PATH");
    if let Some(dir) = env::var_os("VARNEX_LIB_DIR") {
        println!("cargo:rustc-link-search=native={}", dir.to_string_lossy());
        println!("cargo:rustc-link-lib=dylib=varnex");
        return;
    }
    let found = Command::new("pkg-config").args(["--libs", "varnex"]).output();
    let flags = match found {
        Ok(output) if output.status.success() => String::from_utf8_lossy(&output.stdout).into_owned(),
        _ => panic!(
            "libvarnex was not found: install libvarnex-dev (pkg-config varnex), \
             or set VARNEX_LIB_DIR to the folder that holds libvarnex.so"
        ),
    };
    for flag in flags.split_whitespace() {
        if let Some(dir) = flag.strip_prefix("-L") {
            println!("cargo:rustc-link-search=native={}", dir);
        } else if let Some(library) = flag.strip_prefix("-l") {
            println!("cargo:rustc-link-lib=dylib={}", library);
        }
    }
}
