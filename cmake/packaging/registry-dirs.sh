# The registry root holds the stored password: root's alone (0700), and an existing hive is narrowed to its owner.
# Nothing here follows a symbolic link: with a link in place of /var/lib/enlistor or of its registry, both are left
# as they are, with a warning (install -d, chown and chmod would change the link's target); find neither follows
# the links it meets nor changes them. Only root can place anything in these directories.
enlistor_link_in_place=
for enlistor_dir in /var/lib/enlistor /var/lib/enlistor/registry; do
    if [ -L "$enlistor_dir" ]; then
        echo "enlistor: $enlistor_dir is a symbolic link; its owner and mode are left as they are" >&2
        enlistor_link_in_place=yes
        break
    fi
done
if [ -z "$enlistor_link_in_place" ]; then
    [ -d /var/lib/enlistor ] || mkdir -m 0755 /var/lib/enlistor
    chown root:root /var/lib/enlistor
    chmod 0755 /var/lib/enlistor
    [ -d /var/lib/enlistor/registry ] || mkdir -m 0700 /var/lib/enlistor/registry
    chown root:root /var/lib/enlistor/registry
    chmod 0700 /var/lib/enlistor/registry
    find /var/lib/enlistor/registry -xdev ! -type l -exec chmod go-rwx {} +
fi
