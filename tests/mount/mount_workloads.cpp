#include "mount_workloads.h"

#include <QDir>
#include <QFile>

namespace quorvale::testing {

namespace {

// A host tree with what copies must keep: modes, times (to the second: small ext4 inodes keep
// no more), a symlink, a hard link, an empty folder, a file of several MiB.
constexpr const char* makeSource = R"sh(
rm -rf $W/src && mkdir -p $W/src/sub/deep $W/src/empty
printf 'hello\n' > $W/src/a.txt
head -c 5000000 /dev/urandom > $W/src/sub/big.bin
printf 'deep\n' > $W/src/sub/deep/d.txt
ln -s a.txt $W/src/link
ln -s ../missing $W/src/sub/dangling
ln $W/src/a.txt $W/src/sub/hard
chmod 640 $W/src/a.txt; chmod 711 $W/src/sub; chmod 1777 $W/src/empty
touch -h -d '2001-02-03 04:05:06' $W/src/link $W/src/sub/big.bin $W/src/sub/deep/d.txt
touch -d '2002-03-04 05:06:07' $W/src/sub/deep $W/src/empty $W/src/sub $W/src
)sh";

}  // namespace

const std::vector<Workload> mountWorkloads = {
    {"CopyATreeInAndOutWithCpA", R"sh(
cp -a $W/src $M/cp && cp -a $M/cp $W/cp-back
same $W/src $M/cp && same $W/src $W/cp-back)sh"},
    {"SyncATreeInAndOutWithRsync", R"sh(
rsync -aH $W/src/ $M/rs/ && rsync -aH $M/rs/ $W/rs-back/
same $W/src $M/rs && same $W/src $W/rs-back
printf 'changed\n' > $W/src/a.txt && rsync -aH $W/src/ $M/rs/ && same $W/src $M/rs)sh"},
    {"ExtractATarball", R"sh(
tar -C $W/src -cf $W/t.tar . && mkdir $M/tar && tar -C $M/tar -xf $W/t.tar
same $W/src $M/tar)sh"},
    {"SaveLikeAnEditorAtomicallyAndInPlace", R"sh(
printf 'version 1\n' > $M/doc.txt
python3 - <<PY
import os
m = os.environ["M"]
fd = os.open(m + "/.doc.txt.swp", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
os.write(fd, b"version 2\n"); os.fsync(fd); os.close(fd)
os.rename(m + "/.doc.txt.swp", m + "/doc.txt")
with open(m + "/doc.txt", "r+b") as f:
    f.seek(8); f.write(b"3"); f.truncate(10); f.flush(); os.fsync(f.fileno())
PY
[ "$(cat $M/doc.txt)" = "version 3" ] && [ ! -e $M/.doc.txt.swp ])sh"},
    {"KeepASqliteDatabase", R"sh(
sqlite3 $M/db.sqlite "create table t(a integer primary key, b blob);
  with recursive c(x) as (select 1 union all select x + 1 from c where x < 20000)
  insert into t select x, randomblob(200) from c; delete from t where a % 3 = 0; vacuum;"
[ "$(sqlite3 $M/db.sqlite 'pragma integrity_check; select count(*) from t;')" = "ok
13334" ])sh"},
    {"CommitWithGit", R"sh(
git init -q $M/repo && cd $M/repo && cp -a $W/src/. . && git add -A
git -c user.name=t -c user.email=t@example.org commit -qm first
printf 'more\n' >> a.txt && git -c user.name=t -c user.email=t@example.org commit -qam second
[ -z "$(git status --porcelain)" ] && git fsck --strict --no-progress && [ "$(git rev-list --count HEAD)" = 2 ])sh"},
    {"FindTenThousandFiles", R"sh(
[ "$(find $M/many -type f | wc -l)" = 10000 ] && [ "$(ls -lR $M/many | grep -c '^-rw')" = 10000 ])sh"},
    {"RefuseWhatTheCardMustNotHold", R"sh(
! mknod $M/dev c 1 3 2>/dev/null && ! mkfifo $M/fifo 2>/dev/null
! chown 12345 $M/many 2>/dev/null && ! chmod 4755 $M/many 2>/dev/null
mkdir $M/full && touch $M/full/x && ! rmdir $M/full 2>/dev/null && rm $M/full/x && rmdir $M/full
[ "$(stat -c %u $M/many)" = "$(id -u)" ])sh"},
};

void makeWorkloadTree(const char* dir) {
    for (int d = 0; d < 10; ++d) {
        const QString folder = QString("%1/many/d%2").arg(dir).arg(d);
        QDir().mkpath(folder);
        for (int f = 0; f < 1000; ++f) {
            QFile file(QString("%1/f%2.txt").arg(folder).arg(f));
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray::number(f));
        }
    }
}

// The source tree is made by the workloads' own fixture before each run.
const char* const workloadSource = makeSource;

}  // namespace quorvale::testing
