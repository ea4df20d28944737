// Validates a CycloneDX JSON document against the schema of the version it declares, with
// CycloneDX's own library and its strict JSON-schema validator (ajv). Exit 0 only if valid.
//
// usage: NODE_PATH=build/tools/cyclonedx/node_modules node validate_sbom.js BOM.json
'use strict';
const fs = require('fs');
const { Spec, Validation } = require('@cyclonedx/cyclonedx-library');

async function main(path) {
  const text = fs.readFileSync(path, 'utf8');
  const version = JSON.parse(text).specVersion;
  if (!Object.values(Spec.Version).includes(version)) {
    throw new Error(`${path}: unknown specVersion ${version}`);
  }
  // Throws, rather than passing, when the schema validator it needs is not installed.
  const errors = await new Validation.JsonStrictValidator(version).validate(text);
  if (errors !== null) {
    console.error(`${path} is not valid CycloneDX ${version}:`);
    console.error(JSON.stringify(errors, null, 2));
    process.exit(1);
  }
  console.log(`${path}: valid CycloneDX ${version}`);
}

main(process.argv[2]).catch((error) => {
  console.error(String(error));
  process.exit(2);
});
