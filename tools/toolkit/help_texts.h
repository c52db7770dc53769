// What `meshjobs help COMMAND` prints.
#pragma once

namespace meshjobs::tool {

inline constexpr char GENERAL_HELP[] = R"(meshjobs: mesh-processing jobs of libmeshjobs, run through the host emulator.

usage: meshjobs COMMAND [options] [arguments]

commands:
  demo                          run every job on a built-in sphere, verify, time
  info FILE...                  meshes, vertex and index counts, attributes
  strip IN... OUT               remove vertices that no face uses
  convert IN OUT.glb|OUT.gltf   convert vertices into glTF 2.0, quantised
  convert IN... OUTDIR --format glb|gltf
                                the same, one <stem>.glb or .gltf per input
  convert IN... OUTDIR --layout L
                                convert vertices into a layout, write raw streams
  bench [--workers N] [BENCHMARK FLAGS]
                                the benchmark table: medians, ratios, goals
  help [COMMAND]                this text, or a command's

options for info, strip and convert:
  --workers N       files processed at once, each in a worker process of its
                    own (default: all cores)
  --threads N       job-system threads inside each worker (default: the
                    cores divided among the workers)
  --max-memory SIZE memory a worker may use, e.g. 4G, 512M, none (default 4G)
  --timeout SECONDS time a worker may take on one file, 0 for none (default 300)
  --report FILE     JSON Lines, one object per input file
  --shard K/N       process only shard K of N (1 <= K <= N)
  --quiet           print only failures and warnings
  --library PATH    libmeshjobs to load (default: $MESHJOBS_LIBRARY if set,
                    else the one beside this program)
  -h, --help        help for the command
  --version         the version

IN may be files or folders; folders are searched for every format the
importer reads. A file that crashes, aborts, runs out of memory or time
fails alone, with its reason; the others complete. Exit status: 0 all
done, 1 some file failed, 2 bad usage.
)";

inline constexpr char DEMO_HELP[] = R"(usage: meshjobs demo [--threads N] [--repeat N]

Builds a UV sphere in memory (positions, normals, tangents, a color, two UV
sets, and some vertices that no triangle uses) and runs every job on it
through the host emulator: reference counting and marking, compaction,
index remapping, and conversion into the compact layout. Verifies that no
unused vertex is left, that every triangle has the same positions as before,
and that converted attributes lie within their format's quantisation error,
then prints each job's items, workers, time and throughput.

  --threads N  job-system threads (default: all cores; --workers is the same)
  --repeat N   time each job as the best of N runs (default 5)

Exit status 1 if any check fails.
)";

inline constexpr char INFO_HELP[] = R"(usage: meshjobs info FILE|FOLDER... [options]

For each mesh: vertex and index counts, primitives, attributes present, and
how many vertices no face uses (counted by the reference counting job).
Options as for every file command: see 'meshjobs --help'.
)";

inline constexpr char STRIP_HELP[] = R"(usage: meshjobs strip IN OUT [--method mark|count|both] [--format ID] [--strict]
       meshjobs strip IN... OUTDIR [options]

Removes the vertices that no face uses from every mesh and writes the mesh
through the exporter. Everything per vertex (normals, tangents, colors, UV
sets, morph targets, bone weights) stays with its vertex.

  --method mark   find used vertices with the marking job (default)
  --method count  with the reference counting job
  --method both   run both and require them to agree
  --format ID     exporter id or extension (obj, ply, stl, glb, gltf, fbx,
                  ...); default: OUT's extension, or each input's own. glb
                  and gltf are glTF 2.0 (gltf1, glb1: 1.0), fbx is ASCII
                  FBX; formats whose files do not read back are refused
  --strict        fail a file whose output lacks anything the input had

The jobs take 16-bit indices, so a mesh of more than 65,536 vertices is
reported and written unstripped. With several inputs or a folder, OUTDIR
mirrors the input names; two inputs that would share an output name get
their extension added to it (spider-obj.glb, spider-fbx.glb). The output
folder is left out of the input walk.

Every output is written beside its destination under a temporary name, read
back and compared (meshes, vertices, triangles) before it replaces anything;
no input file, nor a file an input uses (buffers, materials, textures), is
ever written. What the written file lacks (attributes, morph targets,
animations, skins, cameras, lights, materials, texture files) is a warning.
Other options as for every file command: see 'meshjobs --help'.
)";

inline constexpr char CONVERT_HELP[] = R"(usage: meshjobs convert IN OUT.glb|OUT.gltf [--layout L] [--matrix M] [--verify]
       meshjobs convert IN... OUTDIR --format glb|gltf [options]
       meshjobs convert IN... OUTDIR --layout L [--matrix M] [--verify] [--strict]

Converts the vertices of every mesh into layout L with the conversion job.

Into glTF 2.0 (an output ending in .glb or .gltf, or a folder with --format,
each input then written as <stem>.glb or <stem>.gltf there): a glTF 2.0
input is edited in place; every primitive's position, normal, tangent,
COLOR_0 and TEXCOORD_0..7 become interleaved vertex streams that accessors
describe where they lie, and KHR_mesh_quantization is declared when an
attribute is not float. Other attributes (joints, weights, further color
and UV sets), morph targets, indices, materials, nodes, animations and
extensions stay as they were. Other formats become a fresh document: one
mesh, node and primitive per mesh read. The layout defaults to gltf; one
glTF cannot describe (Float16 attributes, so compact) is refused. Every
attribute is checked against its format's quantisation and the written file
is read back: a file that fails either is not written.

Otherwise, into OUTDIR: per mesh k, meshk.stream0.bin and meshk.stream1.bin
(the destination streams, raw), meshk.indices.bin (UInt16, or UInt32 above
65,536 vertices) and one manifest.json describing them: per attribute its
slot, format, dimension, offset, stream and stride, and each mesh's vertex
count. Here --layout is required.

Files read through the importer have their polygons triangulated and meshes
split by primitive kind first.

  --layout gltf     Float32x3 position, SNorm8x4 normal (read as three
                    bytes) and tangent in stream 0; UNorm8x4 color and
                    Float32x2 UV sets in stream 1
  --layout full     all Float32: position, normal, tangent in stream 0;
                    color and UV sets in stream 1
  --layout compact  Float32x3 position, SNorm8x4 normal and tangent in
                    stream 0; UNorm8x4 color and Float16x2 UV sets in stream 1
  --layout TEXT     slot:format[xN][@stream] entries, comma-separated, packed
                    in slot order; slots position, normal, tangent, color,
                    uv0..uv7; formats unorm8, snorm8, f16, f32; e.g.
                    position:f32x3,normal:snorm8x4,uv0:f16x2@1
  --format F        glb or gltf: write glTF into the folder OUTDIR
  --matrix M        16 numbers, column by column (translation last), that
                    transform positions and tangents; normals get its inverse
                    transpose. In glTF, a mirroring matrix reverses the
                    winding of indexed triangle lists so faces keep facing out
  --verify          decode the streams back and report the largest error per
                    attribute; fail (writing nothing) if one exceeds its
                    format's quantisation
  --strict          fail a file whose output lacks anything the input had

Attributes a mesh lacks are left out of its layout; what the output cannot
hold (for raw streams: morph targets, skins, animations, attributes outside
the layout) is a warning. Files are written under temporary names and moved
into place, the manifest or glTF file last. Other options as for every file
command: see 'meshjobs --help'.
)";

inline constexpr char BENCH_HELP[] = R"(usage: meshjobs bench [--workers N] [BENCHMARK FLAGS]

Runs every benchmark case through the real library and the host emulator,
with its baselines in the same run, repetitions interleaved at random, and
prints medians, ratios and goals.

  --workers N   workers of the parallel cases (default 2)

Other flags go to the benchmark runner, e.g. --benchmark_filter=convert
or --benchmark_repetitions=9.
)";

}  // namespace meshjobs::tool
